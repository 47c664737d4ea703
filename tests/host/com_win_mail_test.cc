// comtessaly.tessalyCom end to end, the way a host uses it: created by its
// ProgID from the registration in the wine prefix, driven late-bound through
// IDispatch, against the project's Postfix and Dovecot on the Linux side of
// loopback. Sends go through the registered KalrowMail.KalrowSmtp.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check/param_string.h"
#include "env/base64.h"
#include "support/com_client_win.h"
#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

using testing::DebugOutputCapture;
using testing::DispatchClient;
using testing::Var;
using testing::WineStack;
constexpr std::chrono::seconds kArrival{20};

class ComMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stack_.ok()) << "TESSALY_MAILSTACK is not a running stack";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"comtessaly.tessalyCom", &clsid), S_OK)
        << "comtessaly.dll is not registered";
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    check_ = std::make_unique<DispatchClient>(object);
    for (const char* user : {"alice", "bob"}) stack_.ClearMailbox(user);
  }
  void TearDown() override {
    check_.reset();
    CoUninitialize();
  }

  // One vg_docheck with the stored parameter string and a time-out of 2 s
  // (a send phase then lasts at least 1 s); returns verdict and result.
  bool Docheck(std::string* result) {
    EXPECT_EQ(check_->Put(L"vg_timeout", Var::I2(2).v), S_OK);
    Var verdict;
    EXPECT_EQ(check_->Call(L"vg_docheck", &verdict), S_OK);
    Var text;
    EXPECT_EQ(check_->Get(L"vg_result", &text), S_OK);
    *result = text.Text();
    return verdict.v.vt == VT_BOOL && verdict.v.boolVal != VARIANT_FALSE;
  }
  void SetParameter(const std::string& text) {
    ASSERT_EQ(check_->Put(L"vg_parameter", Var(text).v), S_OK);
  }
  std::string Parameter() {
    Var v;
    EXPECT_EQ(check_->Get(L"vg_parameter", &v), S_OK);
    return v.Text();
  }

  // Send through the submission port (STARTTLS, AUTH as alice) to bob.
  std::string SendItems(const std::string& mode) const {
    return "#OMODE=" + mode + "#SSRV=127.0.0.1#SPORT=" +
           std::to_string(stack_.port("SUBMISSION_PORT")) + "#SFROM=" + stack_.address("alice") +
           "#STO=" + stack_.address("bob") + "#SSSL=T#SUSR=alice#SPWD=" +
           Base64Encode(stack_.password("alice")) + "#";
  }
  std::string FetchItems(int port, bool ssl, const std::string& password) const {
    return "#PSRV=127.0.0.1#PPORT=" + std::to_string(port) + "#PUSR=bob#PPWD=" +
           Base64Encode(password) + "#PSSL=" + (ssl ? "T" : "F") + "#MBOX=INBOX#";
  }

  WineStack stack_;
  std::unique_ptr<DispatchClient> check_;
};

struct CycleCase {
  const char* name;
  const char* mode;
  const char* port_key;
  bool ssl;
};

class ComCycleTest : public ComMailTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(ComCycleTest, SendThenFetchTheControlMail) {
  const CycleCase& c = GetParam();
  SetParameter(SendItems(c.mode) +
               FetchItems(stack_.port(c.port_key), c.ssl, stack_.password("bob")));
  std::string result;
  ASSERT_TRUE(Docheck(&result)) << result;
  EXPECT_EQ(result.rfind("Message send successfully (" + std::string(c.mode) + " ", 0), 0u)
      << result;
  const std::string subject = GetParameterValue(Parameter(), "@@SUBJECT");
  EXPECT_EQ(result, "Message send successfully (" + subject + ")");
  ASSERT_TRUE(stack_.WaitForMessages("bob", 1, kArrival));

  EXPECT_TRUE(Docheck(&result)) << result;
  EXPECT_EQ(result, "Message retrieved successfully");
  EXPECT_EQ(GetParameterValue(Parameter(), "@@NEXT"), "SMTP");
  EXPECT_TRUE(stack_.ListMessages("bob").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ComCycleTest,
    ::testing::Values(CycleCase{"SmtpPop3Stls", "TESSALY", "POP3_PORT", true},
                      CycleCase{"SmtpImap4Plain", "TESSIMO", "IMAP_PORT", false},
                      CycleCase{"SmtpImap4Starttls", "TESSIMO", "IMAP_PORT", true}),
    [](const ::testing::TestParamInfo<CycleCase>& p) { return p.param.name; });

TEST_F(ComMailTest, CountModeComparesTheMailboxCount) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(stack_.PutMessage("bob", "count" + std::to_string(i),
                                  "Subject: n" + std::to_string(i) + "\r\n\r\nbody\r\n"));
  }
  struct Case {
    const char* rule;
    bool up;
  };
  for (const Case& c : {Case{"#CCMD=LT#CCNM=5#", false}, Case{"#CCMD=LT#CCNM=3#", true},
                        Case{"#CCMD=EQ#CCNM=3#", false}, Case{"#CCMD=GT#CCNM=2#", false}}) {
    SetParameter("#OMODE=CPOP" + FetchItems(stack_.port("POP3_PORT"), false,
                                            stack_.password("bob")) + c.rule);
    std::string result;
    EXPECT_EQ(Docheck(&result), c.up) << c.rule << " " << result;
    EXPECT_EQ(LeadingNumber(result), 3) << c.rule << " " << result;
  }
}

TEST_F(ComMailTest, WrongPasswordIsDownWithThePop3Error) {
  SetParameter("#OMODE=POP3#PRET=0" + FetchItems(stack_.port("POP3_PORT"), false, "wrong"));
  std::string result;
  EXPECT_FALSE(Docheck(&result));
  EXPECT_EQ(result.rfind("ERR POP3:", 0), 0u) << result;
}

// The greeting name comes from PrimaryHELO in the host's registry key, in
// the registry view of this process's bitness: a 32-bit DLL on 64-bit
// Windows reads the Wow6432Node key.
class ScopedPrimaryHelo {
 public:
  explicit ScopedPrimaryHelo(const char* value) {
    const REGSAM view = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenmoor\\Vigilor\\SMTP", 0, nullptr, 0,
                    KEY_SET_VALUE | view, nullptr, &key_, nullptr);
    RegSetValueExA(key_, "PrimaryHELO", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(strlen(value) + 1));
  }
  ~ScopedPrimaryHelo() {
    RegDeleteValueA(key_, "PrimaryHELO");
    RegCloseKey(key_);
  }
  ScopedPrimaryHelo(const ScopedPrimaryHelo&) = delete;
  ScopedPrimaryHelo& operator=(const ScopedPrimaryHelo&) = delete;

 private:
  HKEY key_ = nullptr;
};

TEST_F(ComMailTest, GreetingNameFromTheRegistryReachesTheReceivedHeader) {
  ScopedPrimaryHelo helo("helo.registry.tessaly.test");
  if (sizeof(void*) == 4) {
    // The 32-bit view's key is the Wow6432Node key of the 64-bit view.
    HKEY native = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wow6432Node\\Brenmoor\\Vigilor\\SMTP",
                            0, KEY_READ | KEY_WOW64_64KEY, &native),
              ERROR_SUCCESS);
    RegCloseKey(native);
  }
  DebugOutputCapture capture;
  DebugOutputCapture::Clear();
  SetParameter(SendItems("SMTP"));
  std::string result;
  ASSERT_TRUE(Docheck(&result)) << result;
  const std::vector<std::string> lines = DebugOutputCapture::Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "HELO reg info helo.registry.tessaly.test"),
            lines.end());
  ASSERT_TRUE(stack_.WaitForMessages("bob", 1, kArrival));
  const std::string mail = testing::ReadFileText(stack_.ListMessages("bob").front());
  EXPECT_NE(mail.find("Received: from helo.registry.tessaly.test "), std::string::npos) << mail;
  EXPECT_NE(mail.find("\nX-Sender: TESSALYCom\n"), std::string::npos) << mail;  // LF in the Maildir
}

TEST_F(ComMailTest, TraceOfAFetchReachesTheDebuggerOutput) {
  DebugOutputCapture capture;
  DebugOutputCapture::Clear();
  SetParameter("#OMODE=POP3#RDBL=T" +
               FetchItems(stack_.port("POP3_PORT"), true, stack_.password("bob")));
  std::string result;
  Docheck(&result);  // an empty mailbox: "no messages received"
  const std::vector<std::string> lines = DebugOutputCapture::Lines();
  auto has_prefix = [&](const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  EXPECT_TRUE(has_prefix("-> POP3: CAPA"));
  EXPECT_TRUE(has_prefix("POP3 SSL Status:TLSv1.2, cipher "));
  EXPECT_TRUE(has_prefix("ERR POP3: no messages received"));
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find(stack_.password("bob")), std::string::npos) << l;
  }
}

}  // namespace
}  // namespace tessaly
