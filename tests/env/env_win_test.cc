// The Windows environment layers on the real system (under wine in CI):
// registry store, bitness test, debugger trace, message pump, OS facts.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "env/message_pump.h"
#include "env/os_facts.h"
#include "env/settings_store.h"
#include "env/trace.h"
#include "support/com_client_win.h"

namespace tessaly {
namespace {

// A key of this test process below HKLM\SOFTWARE, removed afterwards.
class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = "SOFTWARE\\tessaly-test-" + std::to_string(GetCurrentProcessId());
  }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, root_.c_str()); }
  void Put(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (root_ + key).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  bool Exists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (root_ + key).c_str(), 0, KEY_READ, &h) != 0) {
      return false;
    }
    RegCloseKey(h);
    return true;
  }
  std::string root_;
};

TEST_F(RegistryStoreTest, ReadsStringAndDwordValues) {
  const DWORD three = 3;
  const DWORD minus = static_cast<DWORD>(-12);
  Put("\\SMTP", "sz", REG_SZ, "mx.example.org", 15);
  Put("\\SMTP", "szpadded", REG_SZ, " 3 ", 4);
  Put("\\SMTP", "empty", REG_SZ, "", 1);
  Put("\\SMTP", "dword", REG_DWORD, &three, 4);
  Put("\\SMTP", "negative", REG_DWORD, &minus, 4);
  Put("\\SMTP", "expand", REG_EXPAND_SZ, "%TEMP%", 7);
  Put("\\SMTP", "binary", REG_BINARY, "ab", 2);
  struct Case {
    const char* name;
    bool present;
    RegistryValue::Type type;
    std::string text;
    std::int32_t number;
  };
  const Case cases[] = {
      {"sz", true, RegistryValue::Type::kString, std::string("mx.example.org\0", 15), 0},
      {"szpadded", true, RegistryValue::Type::kString, std::string(" 3 \0", 4), 0},
      {"empty", true, RegistryValue::Type::kString, std::string("\0", 1), 0},
      {"dword", true, RegistryValue::Type::kDword, "", 3},
      {"negative", true, RegistryValue::Type::kDword, "", -12},
      {"expand", false, {}, "", 0},
      {"binary", false, {}, "", 0},
      {"missing", false, {}, "", 0},
  };
  std::unique_ptr<SettingsStore> store = NewWindowsRegistryStore();
  for (const Case& c : cases) {
    const std::optional<RegistryValue> v = store->ReadMachineValue(root_ + "\\SMTP", c.name);
    ASSERT_EQ(v.has_value(), c.present) << c.name;
    if (!v) continue;
    EXPECT_EQ(v->type, c.type) << c.name;
    EXPECT_EQ(v->text, c.text) << c.name;
    EXPECT_EQ(v->number, c.number) << c.name;
  }
}

TEST_F(RegistryStoreTest, MissingKeyIsCreatedEmptyAndReadsAbsent) {
  std::unique_ptr<SettingsStore> store = NewWindowsRegistryStore();
  ASSERT_FALSE(Exists("\\a\\b\\SMTP"));
  EXPECT_FALSE(store->ReadMachineValue(root_ + "\\a\\b\\SMTP", "PrimaryHELO").has_value());
  EXPECT_TRUE(Exists("\\a\\b\\SMTP"));
  EXPECT_FALSE(store->ReadMachineValue(root_ + "\\a\\b\\SMTP", "PrimaryHELO").has_value());
}

TEST_F(RegistryStoreTest, GreetingSettingFromTheRealStoreIsStrippedAndTraced) {
  Put("\\SMTP", "PrimaryHELO", REG_SZ, " helo.example.net ", 19);
  std::unique_ptr<SettingsStore> store = NewWindowsRegistryStore();
  CaptureTraceSink trace;
  // The store is asked for "<root>\SMTP"; a root below the test key stands
  // in for the host's key through a store that prefixes it.
  class Prefixed : public SettingsStore {
   public:
    Prefixed(SettingsStore& inner, std::string root) : inner_(inner), root_(std::move(root)) {}
    std::optional<RegistryValue> ReadMachineValue(std::string_view key,
                                                  std::string_view name) override {
      seen = std::string(key);
      return inner_.ReadMachineValue(root_ + "\\SMTP", name);
    }
    std::string seen;

   private:
    SettingsStore& inner_;
    std::string root_;
  } prefixed(*store, root_);
  EXPECT_EQ(GetPrimaryHeloSetting(prefixed, trace), "helo.example.net");
  EXPECT_EQ(prefixed.seen, HostRegistryRoot(IsWow64()) + "\\SMTP");
  EXPECT_EQ(trace.lines(), std::vector<std::string>{"HELO reg info helo.example.net"});
}

TEST(IsWow64Test, TrueExactlyForA32BitProcessOnA64BitSystem) {
  SYSTEM_INFO native{};
  GetNativeSystemInfo(&native);
  const bool system64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                        native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
  EXPECT_EQ(IsWow64(), sizeof(void*) == 4 && system64);
  EXPECT_EQ(HostRegistryRoot(IsWow64()), IsWow64() ? "SOFTWARE\\Wow6432Node\\Brenmoor\\Vigilor"
                                                   : "SOFTWARE\\Brenmoor\\Vigilor");
}

TEST(DebuggerTraceTest, OneCallPerLineWithoutLineEnd) {
  testing::DebugOutputCapture capture;
  testing::DebugOutputCapture::Clear();
  std::unique_ptr<TraceSink> sink = NewDebuggerTraceSink();
  sink->Line("HELO reg info 5");
  sink->Line("a\r\nb");
  sink->Line("");
  EXPECT_EQ(testing::DebugOutputCapture::Lines(),
            (std::vector<std::string>{"HELO reg info 5", "a\\r\\nb", ""}));
}

// Counts the messages its window receives.
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_APP) {
    ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

TEST(MessagePumpTest, DispatchesPendingMessagesAndLeavesQuitForTheHost) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "tessaly-pump-test";
  RegisterClassA(&wc);
  HWND window = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  int count = 0;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count));
  for (int i = 0; i < 3; ++i) PostMessageA(window, WM_APP, 0, 0);
  const std::function<void()> pump = SystemMessagePump();
  ASSERT_TRUE(pump);
  pump();
  EXPECT_EQ(count, 3);

  PostQuitMessage(7);
  pump();
  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  DestroyWindow(window);
}

TEST(OsFactsTest, ComputerNameAndAdapterAddressesReadBack) {
  OsFacts& os = SystemOsFacts();
  std::string name;
  ASSERT_TRUE(os.ComputerName(&name));
  char expected[256] = {};
  DWORD length = sizeof expected;
  ASSERT_TRUE(GetComputerNameA(expected, &length));
  EXPECT_EQ(name, std::string(expected, length));
  for (const std::string& address : os.AdapterAddresses()) {
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
  }
  EXPECT_EQ(os.DnsDomain().find('\0'), std::string::npos);
}

}  // namespace
}  // namespace tessaly
