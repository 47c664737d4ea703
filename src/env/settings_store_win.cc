// The host settings on Windows: the registry under HKEY_LOCAL_MACHINE, read
// through the ANSI registry functions, and the bitness test through
// IsWow64Process. Every key handle is opened and closed within one read.
#include <windows.h>

#include <string>
#include <vector>

#include "env/settings_store.h"

namespace tessaly {
namespace {

// Creates key_path below root, empty, non-volatile, with no class and
// default security, and closes the new handle at once. The outcome is not
// looked at: a process without the right to create keys simply reads the
// default setting.
void CreateMachineKey(const std::string& key_path, HKEY root) {
  HKEY created = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(root, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      kRegistryAccess, nullptr, &created, &disposition) == ERROR_SUCCESS) {
    RegCloseKey(created);
  }
}

// Reads value_name of the open key into *value. Returns 0 when a value was
// delivered, the registry's error code when it could not be read, -1 for a
// type other than REG_SZ and REG_DWORD.
LONG ReadKeyValue(HKEY key, const std::string& value_name, std::optional<RegistryValue>* value) {
  value->reset();
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExA(key, value_name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type == REG_SZ) {
    std::vector<BYTE> buffer(size + 1, 0);  // one spare 0 when size is 0
    DWORD got = size;
    rc = RegQueryValueExA(key, value_name.c_str(), nullptr, &type, buffer.data(), &got);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ || got > size) return -1;  // changed between the two calls
    RegistryValue v;
    v.type = RegistryValue::Type::kString;
    v.text.assign(reinterpret_cast<const char*>(buffer.data()), got);
    *value = std::move(v);
    return 0;
  }
  if (type == REG_DWORD) {
    DWORD number = 0;
    DWORD got = sizeof number;
    rc = RegQueryValueExA(key, value_name.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(&number), &got);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || got != sizeof number) return -1;
    RegistryValue v;
    v.type = RegistryValue::Type::kDword;
    v.number = static_cast<std::int32_t>(number);
    *value = std::move(v);
    return 0;
  }
  return -1;
}

class WindowsRegistryStore : public SettingsStore {
 public:
  std::optional<RegistryValue> ReadMachineValue(std::string_view key_path,
                                                std::string_view value_name) override {
    const std::string path(key_path);
    const std::string name(value_name);
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, kRegistryAccess, &key);
    if (rc == ERROR_FILE_NOT_FOUND) CreateMachineKey(path, HKEY_LOCAL_MACHINE);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    std::optional<RegistryValue> value;
    ReadKeyValue(key, name, &value);
    RegCloseKey(key);
    return value;
  }
};

}  // namespace

bool IsWow64() {
  // Looked up at run time: Windows versions before XP SP2 lack the function.
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return false;
  FARPROC proc = GetProcAddress(kernel, "IsWow64Process");
  if (proc == nullptr) return false;
  IsWow64ProcessFn fn = nullptr;
  static_assert(sizeof fn == sizeof proc);
  memcpy(&fn, &proc, sizeof fn);
  BOOL wow64 = FALSE;
  if (!fn(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

std::unique_ptr<SettingsStore> NewWindowsRegistryStore() {
  return std::make_unique<WindowsRegistryStore>();
}

std::unique_ptr<SettingsStore> NewSystemSettingsStore(const std::string& /*registry_file*/) {
  return NewWindowsRegistryStore();
}

}  // namespace tessaly
