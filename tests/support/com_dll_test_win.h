// A test fixture for comtessaly.dll without registration: the suite loads
// the DLL from the build tree (TESSALY_COM_DLL) and each test gets a fresh
// object from the DLL's own class factory, the way COM makes one after
// looking the class up.
#ifndef TESSALY_TESTS_SUPPORT_COM_DLL_TEST_WIN_H_
#define TESSALY_TESTS_SUPPORT_COM_DLL_TEST_WIN_H_

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>

#include "support/com_client_win.h"
#include "support/wine_stack_win.h"

namespace tessaly::testing {

class ComDllTest : public ::testing::Test {
 protected:
  // {1e9a46d9-b205-4d6c-9c1a-87ca00b3e89e}: the published class identifier.
  static constexpr CLSID kClsid = {0x1e9a46d9, 0xb205, 0x4d6c,
                                   {0x9c, 0x1a, 0x87, 0xca, 0x00, 0xb3, 0xe8, 0x9e}};

  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    module_ = LoadLibraryA(WinePath(TESSALY_COM_DLL).c_str());
  }
  void SetUp() override {
    ASSERT_NE(module_, nullptr) << TESSALY_COM_DLL;
    client_ = New();
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override { delete client_; }

  // The DLL's export name as a function of type Fn.
  template <typename Fn>
  static Fn Export(const char* name) {
    FARPROC p = GetProcAddress(module_, name);
    Fn fn = nullptr;
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
  }
  // A new object of the published class, or nullptr.
  static DispatchClient* New() {
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    IClassFactory* factory = nullptr;
    if (FAILED(Export<GetClassObject>("DllGetClassObject")(
            kClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
      return nullptr;
    }
    IDispatch* object = nullptr;
    const HRESULT hr =
        factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    factory->Release();
    return SUCCEEDED(hr) ? new DispatchClient(object) : nullptr;
  }

  static inline HMODULE module_ = nullptr;
  DispatchClient* client_ = nullptr;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_COM_DLL_TEST_WIN_H_
