// Registration of comtessaly.dll in the wine prefix. On 64-bit Windows the
// two bitnesses have separate CLSID keys but share the ProgID and TypeLib
// keys, so unregistering one must keep what the other still needs. The
// other bitness's registration is stood in for by its CLSID key in the other
// registry view. Labelled mail with the end-to-end tests, so it never runs
// beside them; it leaves the DLL registered as it found it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

constexpr char kClassKey[] = "Software\\Classes\\CLSID\\{1E9A46D9-B205-4D6C-9C1A-87CA00B3E89E}";
constexpr char kProgIdKey[] = "Software\\Classes\\comtessaly.tessalyCom\\CLSID";
constexpr char kTypeLibKey[] = "Software\\Classes\\TypeLib\\{C0FB95F1-1927-4327-85F4-D7C6F72840A3}";
constexpr REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

bool Exists(const std::string& key, REGSAM view) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &h) != 0) return false;
  RegCloseKey(h);
  return true;
}

class ComRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(testing::WinePath(TESSALY_COM_DLL).c_str());
    ASSERT_NE(module_, nullptr);
    if (sizeof(void*) == 4) {
      SYSTEM_INFO native{};
      GetNativeSystemInfo(&native);
      if (native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL) {
        GTEST_SKIP() << "32-bit Windows has one registry view";
      }
    }
  }
  void TearDown() override {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, (std::string(kClassKey) + "\\InprocServer32").c_str(),
                    kOtherView, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kClassKey, kOtherView, 0);
    Call("DllRegisterServer");
    FreeLibrary(module_);
  }
  HRESULT Call(const char* name) {
    FARPROC p = GetProcAddress(module_, name);
    HRESULT(WINAPI * fn)() = nullptr;
    memcpy(&fn, &p, sizeof fn);
    return fn();
  }
  HMODULE module_ = nullptr;
};

TEST_F(ComRegistrationTest, UnregisterKeepsWhatTheOtherBitnessNeeds) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_TRUE(Exists(std::string(kClassKey) + "\\InprocServer32", kOwnView));
  EXPECT_TRUE(Exists(kProgIdKey, kOwnView));
  EXPECT_TRUE(Exists(kTypeLibKey, kOwnView));

  // The other bitness registered too.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kClassKey) + "\\InprocServer32").c_str(),
                            0, nullptr, 0, KEY_WRITE | kOtherView, nullptr, &other, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(other);
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(Exists(std::string(kClassKey) + "\\InprocServer32", kOwnView));
  EXPECT_TRUE(Exists(kProgIdKey, kOwnView));
  EXPECT_TRUE(Exists(kTypeLibKey, kOwnView));

  // The last one to go removes the shared keys.
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, (std::string(kClassKey) + "\\InprocServer32").c_str(),
                  kOtherView, 0);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kClassKey, kOtherView, 0);
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(Exists(kProgIdKey, kOwnView));
  EXPECT_FALSE(Exists(kTypeLibKey, kOwnView));
}

}  // namespace
}  // namespace tessaly
