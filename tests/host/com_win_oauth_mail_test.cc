// OAuth 2.0 logins through comtessaly.tessalyCom under wine, the way a
// host drives it (created by ProgID, late-bound through IDispatch): tokens
// from the stack's token endpoint over WinHTTP (trusted through its CA
// file), the send through the registered KalrowMail.KalrowSmtp by AUTH
// XOAUTH2 or OAUTHBEARER to Postfix, the fetch by POP3 AUTH or IMAP4
// AUTHENTICATE from Dovecot's oauth2 passdb.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
using testing::ReadFileText;
using testing::Var;
using testing::WinePath;
using testing::WineStack;

// Creates an object by ProgID for late-bound use.
std::unique_ptr<DispatchClient> Create(const wchar_t* prog_id) {
  CLSID clsid{};
  IDispatch* object = nullptr;
  if (CLSIDFromProgID(prog_id, &clsid) != S_OK ||
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                       reinterpret_cast<void**>(&object)) != S_OK) {
    return nullptr;
  }
  return std::make_unique<DispatchClient>(object);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class ComOAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!stack_.oauth_ok()) GTEST_SKIP() << "the mail stack's OAuth part is not running";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    check_ = Create(L"comtessaly.tessalyCom");
    ASSERT_NE(check_, nullptr) << "comtessaly.dll is not registered";
    for (const char* user : {"alice", "bob"}) stack_.ClearMailbox(user);
    DebugOutputCapture::Clear();
  }
  void TearDown() override {
    check_.reset();
    CoUninitialize();
  }

  // The endpoint by the DNS name its certificate carries (wine's check
  // matches DNS names only, not the IP address entry).
  std::string TokenUrl() const {
    std::string url = stack_.value("OAUTH_TOKEN_URL");
    const std::string ip = "://127.0.0.1:";
    url.replace(url.find(ip), ip.size(), "://localhost:");
    return url;
  }
  std::string SendSide(const std::string& method, const char* port_key,
                       const std::string& client = "app-bob") const {
    return "#SSRV=127.0.0.1#SPORT=" + stack_.value(port_key) +
           "#SFROM=bob@tessaly.test#STO=alice@tessaly.test#SUSR=bob#SSSL=T#SAUTH=" + method +
           "#STURL=" + TokenUrl() + "#SCID=" + client +
           "#SCSEC=" + Base64Encode(stack_.value("OAUTH_CLIENT_SECRET")) +
           "#SSCP=mail#STCA=" + WinePath(stack_.value("OAUTH_CA_FILE")) + "#";
  }
  std::string MailSide(const std::string& method, const char* port_key,
                       const std::string& secret) const {
    return "#PSRV=127.0.0.1#PPORT=" + stack_.value(port_key) + "#PUSR=alice#PSSL=T#PAUTH=" +
           method + "#PTURL=" + TokenUrl() + "#PCID=app-alice#PCSEC=" + Base64Encode(secret) +
           "#PSCP=mail#PTCA=" + WinePath(stack_.value("OAUTH_CA_FILE")) + "#MBOX=INBOX#RDBL=T#";
  }

  bool Docheck(const std::string& params, std::string* result) {
    EXPECT_EQ(check_->Put(L"vg_parameter", Var(params).v), S_OK);
    EXPECT_EQ(check_->Put(L"vg_timeout", Var::I2(5).v), S_OK);
    Var verdict;
    EXPECT_EQ(check_->Call(L"vg_docheck", &verdict), S_OK);
    Var text;
    EXPECT_EQ(check_->Get(L"vg_result", &text), S_OK);
    *result = text.Text();
    results_.push_back(*result);
    return verdict.v.vt == VT_BOOL && verdict.v.boolVal != VARIANT_FALSE;
  }
  std::string Parameter() {
    Var v;
    EXPECT_EQ(check_->Get(L"vg_parameter", &v), S_OK);
    return v.Text();
  }
  std::string Token(std::string_view key) {
    return Base64Decode(GetParameterValue(Parameter(), key)).value_or("");
  }
  // Postfix's log lines of accepted logins by bob with mechanism.
  std::size_t SaslLogins(const std::string& mechanism) const {
    const std::string log = ReadFileText(WinePath(stack_.value("POSTFIX_LOG")));
    const std::string needle = "sasl_method=" + mechanism + ", sasl_username=bob";
    std::size_t n = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
      ++n;
    }
    return n;
  }
  // No secret in any result text or captured debugger line.
  void ExpectNoneOf(const std::vector<std::string>& secrets, const std::string& label) {
    const std::vector<std::string> lines = DebugOutputCapture::Lines();
    for (const std::string& secret : secrets) {
      ASSERT_GE(secret.size(), 8u) << label;
      for (const std::string& r : results_) EXPECT_EQ(r.find(secret), std::string::npos) << r;
      for (const std::string& l : lines) EXPECT_EQ(l.find(secret), std::string::npos) << l;
    }
  }
  bool Traced(const std::string& prefix, const std::string& part) const {
    const std::vector<std::string> lines = DebugOutputCapture::Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(prefix, 0) == 0 && l.find(part) != std::string::npos;
    });
  }

  WineStack stack_;
  std::unique_ptr<DispatchClient> check_;
  DebugOutputCapture capture_;
  std::vector<std::string> results_;
};

// Our SMTP component takes the mechanism asked for where the server
// offers both (libcurl on Linux would take OAUTHBEARER), AUTO prefers
// OAUTHBEARER and falls back to XOAUTH2 where that is all there is.
TEST_F(ComOAuthTest, SendThenFetchWithTokens) {
  struct Case {
    const char* name;
    const char* mode;
    const char* smtp_port;
    const char* smtp_method;
    const char* smtp_sent;  // the mechanism Postfix logs
    const char* mail_port;
    const char* mail_method;
    const char* mail_trace;  // start of the traced login command
    const char* mail_sent;
  };
  for (const Case& c : {
           Case{"TESSALY", "TESSALY", "OAUTH_SUBMISSION_PORT", "XOAUTH2", "XOAUTH2",
                "OAUTH_POP3_PORT", "OAUTHBEARER", "-> POP3: AUTH ", "OAUTHBEARER"},
           Case{"TESSIMO", "TESSIMO", "OAUTH_SUBMISSION_PORT", "AUTO", "OAUTHBEARER",
                "OAUTH_IMAP_PORT", "XOAUTH2", "-> IMAP4: ", "AUTHENTICATE XOAUTH2"},
           Case{"TESSIMO, XOAUTH2 only", "TESSIMO", "XOAUTH2_SUBMISSION_PORT", "AUTO", "XOAUTH2",
                "XOAUTH2_IMAP_PORT", "AUTO", "-> IMAP4: ", "AUTHENTICATE XOAUTH2"}}) {
    DebugOutputCapture::Clear();
    results_.clear();
    stack_.ClearMailbox("alice");
    const std::size_t logins = SaslLogins(c.smtp_sent);
    std::string result;
    ASSERT_TRUE(Docheck(SendSide(c.smtp_method, c.smtp_port) + "OMODE=" + c.mode +
                            MailSide(c.mail_method, c.mail_port,
                                     stack_.value("OAUTH_CLIENT_SECRET")),
                        &result))
        << c.name << ": " << result;
    const std::string subject = GetParameterValue(Parameter(), "@@SUBJECT");
    EXPECT_EQ(result, "Message send successfully (" + subject + ")") << c.name;
    const std::string smtp_token = Token("@@STOK");
    EXPECT_FALSE(smtp_token.empty()) << c.name << ": the token is kept as state";
    ASSERT_TRUE(stack_.WaitForMessages("alice", 1, std::chrono::seconds(20))) << c.name;
    EXPECT_EQ(SaslLogins(c.smtp_sent), logins + 1) << c.name;

    EXPECT_TRUE(Docheck(Parameter(), &result)) << c.name << ": " << result;
    EXPECT_EQ(result, "Message retrieved successfully") << c.name;
    EXPECT_TRUE(Traced(c.mail_trace, c.mail_sent)) << c.name;
    EXPECT_TRUE(stack_.ListMessages("alice").empty()) << c.name;
    ExpectNoneOf({smtp_token, Token("@@PTOK"), stack_.value("OAUTH_CLIENT_SECRET")}, c.name);
  }
}

TEST_F(ComOAuthTest, RefusedTokenAndTokenRequestErrors) {
  std::string result;
  // A wrong client secret: the endpoint's error, and no mail connection.
  EXPECT_FALSE(Docheck("#OMODE=POP3" + MailSide("XOAUTH2", "OAUTH_POP3_PORT", "not-the-secret"),
                       &result));
  EXPECT_EQ(result,
            "ERR POP3:OAuth token request failed: invalid_client: Client authentication failed "
            "for 'app-alice' (HTTP 401) (3)");
  EXPECT_FALSE(Docheck(SetParameterValue("#OMODE=SMTP" + SendSide("XOAUTH2", "OAUTH_SUBMISSION_PORT"),
                                         "SCSEC", Base64Encode("not-the-secret")),
                       &result));
  EXPECT_EQ(result.rfind("ERR SMTP: OAuth token request failed: invalid_client: ", 0), 0u)
      << result;

  // An expired token: Postfix's refusal with the challenge the component
  // answered, decoded.
  EXPECT_FALSE(Docheck(
      "#OMODE=SMTP" + SendSide("XOAUTH2", "XOAUTH2_SUBMISSION_PORT", "app-expired"), &result));
  EXPECT_EQ(result.rfind("ERR SMTP: XOAUTH2 login refused: 535 ", 0), 0u) << result;
  EXPECT_NE(result.find("; OAuth challenge: {\"status\":\"401\""), std::string::npos) << result;
  EXPECT_EQ(GetParameterValue(Parameter(), "@@STOK"), "") << "a refused token is not kept";
  ExpectNoneOf({stack_.value("OAUTH_CLIENT_SECRET"), "not-the-secret"}, "errors");
}

TEST_F(ComOAuthTest, ComponentTakesTheOAuthProperties) {
  std::unique_ptr<DispatchClient> smtp = Create(L"KalrowMail.KalrowSmtp");
  ASSERT_NE(smtp, nullptr) << "kalrowsmtp.dll is not registered";
  for (const wchar_t* value : {L"xoauth2", L"OAUTHBEARER", L"Auto"}) {
    EXPECT_EQ(smtp->Put(L"PrimaryAuthMechanism", Var(value).v), S_OK) << Narrow(value);
  }
  Var mechanism;
  EXPECT_EQ(smtp->Get(L"PrimaryAuthMechanism", &mechanism), S_OK);
  EXPECT_EQ(mechanism.Text(), "AUTO");
  for (const wchar_t* value : {L"", L"PASSWORD", L"CRAM-MD5"}) {
    EXPECT_EQ(smtp->Put(L"PrimaryAuthMechanism", Var(value).v), DISP_E_EXCEPTION) << Narrow(value);
    EXPECT_EQ(Narrow(smtp->last_description()),
              "invalid value " + Narrow(value) + " for PrimaryAuthMechanism");
  }
  // The token is write-only, like the password.
  EXPECT_EQ(smtp->Put(L"PrimaryBearerToken", Var(L"ya29.secret-token").v), S_OK);
  Var token;
  EXPECT_EQ(smtp->Get(L"PrimaryBearerToken", &token), S_OK);
  EXPECT_EQ(token.Text(), "");
}

}  // namespace
}  // namespace tessaly
