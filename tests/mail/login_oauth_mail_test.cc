// OAuth 2.0 logins end to end against the stack's OAuth part: the check
// object with its real mail operations and token client, the test token
// endpoint on HTTPS, Dovecot's oauth2 passdb and Postfix through Dovecot
// SASL. Each case is a real check call, as a host makes it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "check/check_object.h"
#include "check/oauth_login.h"
#include "check/param_string.h"
#include "env/base64.h"
#include "mail/token_client.h"
#include "support/mailstack.h"

namespace tessaly {
namespace {

using testing::MailStack;

// The wall clock as it is, but the send phase's wait passes at once.
class NoWaitClock : public Clock {
 public:
  WallTime Now() override { return SystemClock().Now(); }
  std::chrono::steady_clock::time_point Steady() override { return steady_; }
  void SleepFor(std::chrono::milliseconds d) override { steady_ += d; }

 private:
  std::chrono::steady_clock::time_point steady_ = std::chrono::steady_clock::now();
};

struct CheckCall {
  bool verdict = false;
  std::string result;
  std::string params;
  std::chrono::milliseconds took{};
};

class OAuthMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stack_ = MailStack::Get();
    if (stack_ == nullptr || stack_->value("OAUTH_TOKEN_URL").empty()) {
      GTEST_SKIP() << "the mail stack's OAuth part is not running";
    }
    for (const std::string& u : stack_->users()) ASSERT_TRUE(stack_->ClearMailbox(u).ok());
  }

  int Port(const char* key) const { return std::stoi(stack_->value(key)); }

  // The receiving side's OAuth set-up for client (client credentials).
  std::string MailSide(const std::string& method, const char* port_key, const std::string& client,
                       const std::string& user = "alice") const {
    return "#PSRV=127.0.0.1#PPORT=" + std::to_string(Port(port_key)) + "#PUSR=" + user +
           "#PSSL=T#PAUTH=" + method + "#PTURL=" + stack_->value("OAUTH_TOKEN_URL") +
           "#PCID=" + client + "#PCSEC=" + Base64Encode(stack_->value("OAUTH_CLIENT_SECRET")) +
           "#PSCP=mail#PTCA=" + stack_->value("OAUTH_CA_FILE") + "#MBOX=INBOX#RDBL=T#";
  }
  std::string SendSide(const std::string& method, const char* port_key,
                       const std::string& client) const {
    return "#SSRV=127.0.0.1#SPORT=" + std::to_string(Port(port_key)) +
           "#SFROM=bob@tessaly.test#STO=alice@tessaly.test#SUSR=bob#SSSL=T#SAUTH=" + method +
           "#STURL=" + stack_->value("OAUTH_TOKEN_URL") + "#SCID=" + client +
           "#SCSEC=" + Base64Encode(stack_->value("OAUTH_CLIENT_SECRET")) +
           "#SSCP=mail#STCA=" + stack_->value("OAUTH_CA_FILE") + "#";
  }

  CheckCall Check(const std::string& params, int timeout = 5) {
    CheckObjectOptions options;
    options.trace = &trace_;
    options.clock = &clock_;
    options.registry_file = "/nonexistent/tessaly-test-registry";
    CheckObject check(std::move(options));
    check.set_vg_parameter(Variant(params));
    check.set_vg_timeout(Variant(timeout));
    const auto start = std::chrono::steady_clock::now();
    CheckCall call;
    call.verdict = check.VgDocheck();
    call.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    call.result = check.vg_result().ToText();
    call.params = check.vg_parameter().ToText();
    return call;
  }

  // Lines of the endpoint's request log so far.
  size_t TokenRequests() const {
    std::ifstream in(stack_->value("OAUTH_TOKEN_LOG"));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += !line.empty();
    return n;
  }

  // A fresh refresh token for user from the endpoint's admin call.
  std::string NewRefreshToken(const std::string& user) {
    long status = 0;
    std::string body;
    Status s = NewHttpsPoster()->Post(stack_->value("OAUTH_ADMIN_URL"), "user=" + user,
                                      stack_->value("OAUTH_CA_FILE"), 5, &status, &body);
    EXPECT_TRUE(s.ok()) << s.message();
    const std::string key = "\"refresh_token\": \"";
    const size_t at = body.find(key);
    if (at == std::string::npos) return "";
    return body.substr(at + key.size(), body.find('"', at + key.size()) - at - key.size());
  }

  // No token, secret or refresh token in any trace line or result text.
  void ExpectNoSecrets(const CheckCall& call, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
      if (secret.empty()) continue;
      EXPECT_EQ(call.result.find(secret), std::string::npos) << call.result;
      for (const std::string& line : trace_.lines()) {
        EXPECT_EQ(line.find(secret), std::string::npos) << line;
      }
    }
  }

  static std::string Token(const std::string& params, std::string_view key) {
    return Base64Decode(GetParameterValue(params, key)).value_or("");
  }

  const MailStack* stack_ = nullptr;
  CaptureTraceSink trace_;
  NoWaitClock clock_;
};

// Send, then fetch by token, over every mechanism path: libcurl takes
// OAUTHBEARER where both are offered and XOAUTH2 on the XOAUTH2-only port;
// our clients take what PAUTH says or, with AUTO, OAUTHBEARER first.
TEST_F(OAuthMailTest, SendThenFetchCycles) {
  struct Case {
    const char* name;
    const char* mode;
    const char* smtp_port;
    const char* smtp_method;
    const char* mail_port;
    const char* mail_method;
  };
  for (const Case& c : std::vector<Case>{
           {"TESSALY, XOAUTH2", "TESSALY", "OAUTH_SUBMISSION_PORT", "XOAUTH2", "OAUTH_POP3_PORT",
            "XOAUTH2"},
           {"TESSALY, OAUTHBEARER", "TESSALY", "XOAUTH2_SUBMISSION_PORT", "AUTO",
            "OAUTH_POP3_PORT", "OAUTHBEARER"},
           {"TESSALY, XOAUTH2 only", "TESSALY", "OAUTH_SUBMISSION_PORT", "OAUTHBEARER",
            "XOAUTH2_POP3_PORT", "AUTO"},
           {"TESSIMO, XOAUTH2", "TESSIMO", "XOAUTH2_SUBMISSION_PORT", "XOAUTH2", "OAUTH_IMAP_PORT",
            "XOAUTH2"},
           {"TESSIMO, OAUTHBEARER", "TESSIMO", "OAUTH_SUBMISSION_PORT", "AUTO", "OAUTH_IMAP_PORT",
            "AUTO"},
           {"TESSIMO, XOAUTH2 only", "TESSIMO", "OAUTH_SUBMISSION_PORT", "XOAUTH2",
            "XOAUTH2_IMAP_PORT", "AUTO"}}) {
    trace_.Clear();
    const std::string params = SendSide(c.smtp_method, c.smtp_port, "app-bob") +
                               MailSide(c.mail_method, c.mail_port, "app-alice").substr(1) +
                               "OMODE=" + c.mode + "#";
    CheckCall sent = Check(params);
    ASSERT_TRUE(sent.verdict) << c.name << ": " << sent.result;
    ASSERT_TRUE(stack_->WaitForMessages("alice", 1, std::chrono::seconds(10))) << c.name;
    CheckCall fetched = Check(sent.params);
    EXPECT_TRUE(fetched.verdict) << c.name << ": " << fetched.result;
    EXPECT_EQ(fetched.result, "Message retrieved successfully") << c.name;
    EXPECT_TRUE(stack_->ListMessages("alice").empty()) << c.name;
    ExpectNoSecrets(fetched, {Token(fetched.params, "@@PTOK"), Token(fetched.params, "@@STOK"),
                              stack_->value("OAUTH_CLIENT_SECRET")});
  }
}

TEST_F(OAuthMailTest, CountAndTokenCachedAcrossCalls) {
  ASSERT_TRUE(stack_->PutMessage("carol", "Subject: one\r\n\r\nx\r\n").ok());
  ASSERT_TRUE(stack_->PutMessage("carol", "Subject: two\r\n\r\nx\r\n").ok());
  const size_t before = TokenRequests();
  std::string params = MailSide("OAUTHBEARER", "OAUTH_POP3_PORT", "app-carol", "carol") +
                       "OMODE=CPOP#CCMD=LT#CCNM=1#";
  for (int i = 0; i < 3; ++i) {
    CheckCall call = Check(params);
    EXPECT_TRUE(call.verdict) << i << ": " << call.result;
    EXPECT_EQ(call.result, " 2 message(s) in this mailbox (carol)") << i;
    params = call.params;
  }
  // The same token serves the POP3 and IMAP4 checks of this side.
  params = SetParameterValue(params, "OMODE", "IMAP4");
  params = SetParameterValue(params, "PPORT", std::to_string(Port("OAUTH_IMAP_PORT")));
  CheckCall imap = Check(params);
  EXPECT_EQ(imap.result.rfind("ERR IMAP4: messages received but not send by correct", 0), 0u)
      << imap.result;
  EXPECT_EQ(TokenRequests() - before, 1u) << "one token request for four checks";
}

TEST_F(OAuthMailTest, RotatedRefreshTokenWrittenBack) {
  const std::string first = NewRefreshToken("alice");
  ASSERT_FALSE(first.empty());
  std::string params = MailSide("XOAUTH2", "OAUTH_IMAP_PORT", "refresh-client") +
                       "PRTK=" + Base64Encode(first) + "#OMODE=IMAP4#";
  CheckCall call = Check(params);
  // The mailbox is empty: the login worked, the control mail is missing.
  EXPECT_EQ(call.result, "ERR IMAP4: no messages received") << call.result;
  const std::string second = Token(call.params, "PRTK");
  EXPECT_FALSE(second.empty());
  EXPECT_NE(second, first) << "rotated";
  EXPECT_EQ(call.params.find(second), std::string::npos) << "stored Base64-encoded";
  // The new one works on; the old one is spent.
  CheckCall again = Check(ForgetAccessToken(call.params, vocab::kMailOAuthKeys));
  EXPECT_EQ(again.result, "ERR IMAP4: no messages received") << again.result;
  EXPECT_NE(Token(again.params, "PRTK"), second);
  CheckCall stale = Check(params);
  EXPECT_FALSE(stale.verdict);
  EXPECT_NE(stale.result.find("invalid_grant"), std::string::npos) << stale.result;
  ExpectNoSecrets(stale, {first, second});
}

TEST_F(OAuthMailTest, RefusedTokensWithinTheTimeout) {
  struct Case {
    const char* name;
    const char* port;
    const char* method;
    const char* client;
    std::string prefix;    // start of the result text
    std::string contains;  // and what it holds
  };
  const std::string pop3_refused =
      "-ERR [AUTH] Authentication failed. (server status 401, scope mail) (3)";
  const std::string imap_refused =
      " NO [AUTHENTICATIONFAILED] Authentication failed. (server status invalid_token) (3)";
  const std::string dropped = " login refused: the server closed the connection after a login "
                              "response of ";
  for (const Case& c : std::vector<Case>{
           {"expired, POP3", "OAUTH_POP3_PORT", "XOAUTH2", "app-expired",
            "ERR POP3:XOAUTH2 login refused: ", pop3_refused},
           {"wrong user, POP3", "OAUTH_POP3_PORT", "XOAUTH2", "app-wronguser",
            "ERR POP3:XOAUTH2 login refused: ", pop3_refused},
           {"wrong scope, POP3", "OAUTH_POP3_PORT", "XOAUTH2", "app-wrongscope",
            "ERR POP3:XOAUTH2 login refused: ", pop3_refused},
           {"expired, IMAP4", "OAUTH_IMAP_PORT", "OAUTHBEARER", "app-expired",
            "ERR IMAP4:OAUTHBEARER login refused: ", imap_refused},
           {"wrong user, IMAP4", "OAUTH_IMAP_PORT", "OAUTHBEARER", "app-wronguser",
            "ERR IMAP4:OAUTHBEARER login refused: ", imap_refused},
           {"oversize, POP3", "OAUTH_POP3_PORT", "XOAUTH2", "app-oversize", "ERR POP3:XOAUTH2",
            dropped},
           {"oversize, IMAP4", "OAUTH_IMAP_PORT", "AUTO", "app-oversize", "ERR IMAP4:OAUTHBEARER",
            dropped}}) {
    trace_.Clear();
    const bool imap = std::string(c.port).find("IMAP") != std::string::npos;
    CheckCall call = Check(MailSide(c.method, c.port, c.client) +
                               std::string("OMODE=") + (imap ? "IMAP4" : "POP3") + "#",
                           10);
    EXPECT_FALSE(call.verdict) << c.name;
    EXPECT_EQ(call.result.rfind(c.prefix, 0), 0u) << c.name << ": " << call.result;
    EXPECT_NE(call.result.find(c.contains), std::string::npos) << c.name << ": " << call.result;
    EXPECT_LT(call.took, std::chrono::seconds(5)) << c.name;
    EXPECT_EQ(GetParameterValue(call.params, "@@PTOK"), "") << c.name << ": refused token dropped";
    ExpectNoSecrets(call, {stack_->value("OAUTH_CLIENT_SECRET")});
  }
  // SMTP: the decoded challenge of the 334 reply is in the text.
  CheckCall smtp = Check(SendSide("XOAUTH2", "XOAUTH2_SUBMISSION_PORT", "app-expired") +
                         "OMODE=SMTP#");
  EXPECT_FALSE(smtp.verdict);
  EXPECT_NE(smtp.result.find("OAuth challenge: {\"status\":\"401\""), std::string::npos)
      << smtp.result;
}

TEST_F(OAuthMailTest, EndpointDownOrRefusing) {
  std::string wrong_secret = MailSide("XOAUTH2", "OAUTH_POP3_PORT", "app-alice") + "OMODE=POP3#";
  wrong_secret = SetParameterValue(wrong_secret, "PCSEC", Base64Encode("not-the-secret"));
  CheckCall refused = Check(wrong_secret);
  EXPECT_EQ(refused.result,
            "ERR POP3:OAuth token request failed: invalid_client: Client authentication failed "
            "for 'app-alice' (HTTP 401) (3)");
  ExpectNoSecrets(refused, {"not-the-secret"});

  // A closed port on loopback, and the system CA store that knows no test CA.
  std::string down = SetParameterValue(wrong_secret, "PTURL", "https://127.0.0.1:9/token");
  CheckCall closed = Check(down);
  EXPECT_EQ(closed.result.rfind("ERR POP3:OAuth token request failed: cannot reach the token "
                                "endpoint: ", 0), 0u) << closed.result;
  CheckCall unverified = Check(SetParameterValue(
      MailSide("XOAUTH2", "OAUTH_POP3_PORT", "app-alice") + "OMODE=POP3#", "PTCA", ""));
  EXPECT_FALSE(unverified.verdict);
  EXPECT_NE(unverified.result.find("certificate"), std::string::npos) << unverified.result;
  EXPECT_LT(closed.took + unverified.took, std::chrono::seconds(10));
}

}  // namespace
}  // namespace tessaly
