// The pieces every in-process COM server of this project shares: the
// module's object count for DllCanUnloadNow, IDispatch from the type library
// embedded in the DLL, error objects, a class factory and the registry
// entries of one class. Nothing here throws.
#ifndef TESSALY_HOST_COM_COM_SERVER_H_
#define TESSALY_HOST_COM_COM_SERVER_H_

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <string_view>

// COM interfaces have no virtual destructor by design; objects are deleted
// through their own Release. The warning is off for every COM file.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace tessaly::com {

// Live objects and LockServer locks of this DLL.
void ModuleAddRef();
void ModuleRelease();
bool ModuleInUse();

// The DLL holding this code, and its full path.
HMODULE ThisModule();
std::wstring ThisModulePath();

// The type information of iid from the type library in this DLL's
// resources (resource 1, type "TYPELIB"); loaded once, kept for the life of
// the process. Null on failure.
ITypeInfo* OwnTypeInfo(REFIID iid);

// Sets the thread's error object (description in the ANSI code page, the
// source text, the interface) and returns hr, so that a script host shows
// the description; hr must be a failure code.
HRESULT ReportError(HRESULT hr, std::string_view description, const wchar_t* source,
                    REFIID iid);

// IUnknown, IDispatch (through the type information of Interface) and
// ISupportErrorInfo for a class that implements the dual interface
// Interface. Objects start with one reference and count in the module.
template <typename Interface>
class DispatchObject : public Interface, public ISupportErrorInfo {
 public:
  DispatchObject() { ModuleAddRef(); }
  virtual ~DispatchObject() { ModuleRelease(); }
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, __uuidof(Interface))) {
      *out = static_cast<Interface*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* own = OwnTypeInfo(__uuidof(Interface));
    if (own == nullptr) return TYPE_E_CANTLOADLIBRARY;
    own->AddRef();
    *info = own;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    ITypeInfo* own = OwnTypeInfo(__uuidof(Interface));
    if (own == nullptr) return TYPE_E_CANTLOADLIBRARY;
    return DispGetIDsOfNames(own, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* error, UINT* bad_arg) override {
    ITypeInfo* own = OwnTypeInfo(__uuidof(Interface));
    if (own == nullptr) return TYPE_E_CANTLOADLIBRARY;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = own->Invoke(static_cast<Interface*>(this), id, flags, params, result,
                                   error, bad_arg);
    return FillException(hr, error);
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, __uuidof(Interface)) ? S_OK : S_FALSE;
  }

 private:
  // A member that failed with an error object of its own reaches a late-
  // bound caller as DISP_E_EXCEPTION with that description, whether or not
  // the type library's Invoke already did so.
  static HRESULT FillException(HRESULT hr, EXCEPINFO* error) {
    if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || error == nullptr) return hr;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return hr;
    *error = EXCEPINFO{};
    info->GetSource(&error->bstrSource);
    info->GetDescription(&error->bstrDescription);
    error->scode = hr;
    info->Release();
    return DISP_E_EXCEPTION;
  }

  std::atomic<ULONG> refs_{1};
};

// Creates objects of one class through create(); counts LockServer locks.
class ClassFactory : public IClassFactory {
 public:
  using CreateFn = HRESULT (*)(REFIID riid, void** out);
  explicit ClassFactory(CreateFn create) : create_(create) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }   // static lifetime
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  CreateFn create_;
};

// What registration writes for one creatable class.
struct ClassRegistration {
  CLSID clsid;
  GUID libid;
  IID iid;  // its dual interface
  const wchar_t* prog_id;
  const wchar_t* class_name;
};

// Registers the class in this process's view of the registry: the CLSID key
// with InprocServer32 (this DLL, apartment threaded), ProgID and TypeLib,
// the ProgID key, and the type library for this bitness.
HRESULT RegisterClassEntries(const ClassRegistration& entry);

// Removes what registration wrote for this bitness. The ProgID key, the
// interface key and the type library's shared key are kept while the other
// bitness's DLL is still registered (they are shared by both registry
// views on 64-bit Windows).
HRESULT UnregisterClassEntries(const ClassRegistration& entry);

// Makes a T (whose reference count starts at 1) and hands out the interface
// asked for; trap turns an exception from T's constructor into an HRESULT.
template <typename T, HRESULT (*trap)()>
HRESULT CreateObject(REFIID riid, void** out) {
  try {
    auto* object = new T;
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
  } catch (...) {
    return trap();
  }
}

// The one creatable class a DLL serves. Each DLL defines ModuleClass();
// dll_exports.cc makes the four DLL exports from it.
struct ServedClass {
  ClassRegistration registration;
  ClassFactory* factory;
};
const ServedClass& ModuleClass();

}  // namespace tessaly::com

#endif  // TESSALY_HOST_COM_COM_SERVER_H_
