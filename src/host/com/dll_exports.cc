// The four exports of an in-process COM server, for the one class the DLL
// serves (ModuleClass). Built into each DLL of its own, so that the linker
// keeps them.
#include <windows.h>
#include <olectl.h>

#include "host/com/com_server.h"

extern "C" {

__declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                               void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const tessaly::com::ServedClass& served = tessaly::com::ModuleClass();
  if (!IsEqualCLSID(clsid, served.registration.clsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return served.factory->QueryInterface(riid, out);
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return tessaly::com::ModuleInUse() ? S_FALSE : S_OK;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    return tessaly::com::RegisterClassEntries(tessaly::com::ModuleClass().registration);
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
  try {
    return tessaly::com::UnregisterClassEntries(tessaly::com::ModuleClass().registration);
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

}  // extern "C"
