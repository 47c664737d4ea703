#include "host/com/com_server.h"

#include <map>
#include <mutex>

#include "env/ansi_text_win.h"

namespace tessaly::com {
namespace {

std::atomic<long> module_refs{0};  // NOLINT(runtime/int): InterlockedIncrement type

std::wstring GuidText(REFGUID guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

LONG SetValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

bool KeyExists(HKEY root, const std::wstring& key, REGSAM view) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

bool HasSubkeys(HKEY root, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0;
  const LONG rc = RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS && subkeys > 0;
}

void DeleteTree(HKEY root, const std::wstring& key) { RegDeleteTreeW(root, key.c_str()); }

constexpr bool kIs64Bit = sizeof(void*) == 8;
constexpr const wchar_t* kOwnPlatform = kIs64Bit ? L"win64" : L"win32";

// True when the DLL of the other bitness is still registered for clsid. On
// 32-bit Windows both flags name the one view, which no longer has it.
bool OtherBitnessRegistered(REFCLSID clsid) {
  const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
  return KeyExists(HKEY_LOCAL_MACHINE, key, kIs64Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
}

}  // namespace

void ModuleAddRef() { ++module_refs; }
void ModuleRelease() { --module_refs; }
bool ModuleInUse() { return module_refs.load() > 0; }

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::wstring ThisModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

ITypeInfo* OwnTypeInfo(REFIID iid) {
  static std::mutex mutex;
  static ITypeLib* library = nullptr;
  static std::map<std::wstring, ITypeInfo*> infos;
  std::lock_guard<std::mutex> lock(mutex);
  if (library == nullptr) {
    if (FAILED(LoadTypeLibEx(ThisModulePath().c_str(), REGKIND_NONE, &library))) {
      library = nullptr;
      return nullptr;
    }
  }
  const std::wstring key = GuidText(iid);
  auto it = infos.find(key);
  if (it != infos.end()) return it->second;
  ITypeInfo* info = nullptr;
  if (FAILED(library->GetTypeInfoOfGuid(iid, &info))) return nullptr;
  infos.emplace(key, info);
  return info;
}

HRESULT ReportError(HRESULT hr, std::string_view description, const wchar_t* source,
                    REFIID iid) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring text = AnsiToWide(description);
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetGUID(iid);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return create_(riid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    ModuleAddRef();
  } else {
    ModuleRelease();
  }
  return S_OK;
}

HRESULT RegisterClassEntries(const ClassRegistration& entry) {
  const std::wstring path = ThisModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  const std::wstring clsid = GuidText(entry.clsid);
  const std::wstring key = L"CLSID\\" + clsid;
  const std::wstring prog = entry.prog_id;
  const LONG failures =
      SetValue(HKEY_CLASSES_ROOT, key, nullptr, entry.class_name) |
      SetValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, path) |
      SetValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") |
      SetValue(HKEY_CLASSES_ROOT, key + L"\\ProgID", nullptr, prog) |
      SetValue(HKEY_CLASSES_ROOT, key + L"\\TypeLib", nullptr, GuidText(entry.libid)) |
      SetValue(HKEY_CLASSES_ROOT, key + L"\\Version", nullptr, L"1.0") |
      SetValue(HKEY_CLASSES_ROOT, prog, nullptr, entry.class_name) |
      SetValue(HKEY_CLASSES_ROOT, prog + L"\\CLSID", nullptr, clsid);
  if (failures != ERROR_SUCCESS) return SELFREG_E_CLASS;
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library))) return SELFREG_E_TYPELIB;
  const HRESULT hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), nullptr);
  library->Release();
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT UnregisterClassEntries(const ClassRegistration& entry) {
  DeleteTree(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(entry.clsid));
  const std::wstring library = L"TypeLib\\" + GuidText(entry.libid);
  DeleteTree(HKEY_CLASSES_ROOT, library + L"\\1.0\\0\\" + kOwnPlatform);
  if (OtherBitnessRegistered(entry.clsid)) return S_OK;
  if (!HasSubkeys(HKEY_CLASSES_ROOT, library + L"\\1.0\\0")) DeleteTree(HKEY_CLASSES_ROOT, library);
  DeleteTree(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(entry.iid));
  DeleteTree(HKEY_CLASSES_ROOT, entry.prog_id);
  return S_OK;
}

}  // namespace tessaly::com
