#include "check/oauth_login.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/check_run.h"
#include "check/param_string.h"
#include "env/base64.h"
#include "support/fake_env.h"

namespace tessaly {
namespace {

using testing::FakeClock;

// Answers with scripted grants (or a failure) and records every request.
class FakeTokens : public TokenClient {
 public:
  std::vector<TokenRequest> requests;
  TokenGrant grant{"AT1", 3600, ""};
  Status fail;
  Status Request(const TokenRequest& r, TokenGrant* g) override {
    requests.push_back(r);
    if (!fail.ok()) return fail;
    *g = grant;
    return Status::Ok();
  }
};

constexpr std::int64_t kNow = 1800000000;

std::string B64(std::string_view s) { return Base64Encode(s); }

const std::string kClientSide = "#PUSR=alice#PAUTH=XOAUTH2#PTURL=https://t/token#PCID=app" +
                                std::string("#PCSEC=") + "c2VjcmV0" + "#PSCP=mail#";

TEST(OAuthLoginTest, PasswordLoginTouchesNothing) {
  for (std::string params : {std::string("#PUSR=a#PPWD=eA==#"), std::string("#PAUTH= password #")}) {
    FakeTokens tokens;
    const std::string before = params;
    OAuthLogin login;
    ASSERT_TRUE(PrepareOAuthLogin(vocab::kMailOAuthKeys, tokens, kNow, 10, &params, &login).ok());
    EXPECT_EQ(login.method, LoginMethod::kPassword);
    EXPECT_EQ(params, before);
    EXPECT_TRUE(tokens.requests.empty());
  }
}

TEST(OAuthLoginTest, CacheAndRenewal) {
  struct Case {
    const char* name;
    std::string state;  // appended to the client set-up
    bool requests;
  };
  const std::string cached = "#@@PTOK=" + B64("OLD") + "@@#@@PTEXP=";
  for (const Case& c : std::vector<Case>{
           {"nothing cached", "", true},
           {"good for an hour", cached + std::to_string(kNow + 3600) + "@@#", false},
           {"inside the renew margin", cached + std::to_string(kNow + kTokenRenewMargin) + "@@#", true},
           {"expired", cached + std::to_string(kNow - 1) + "@@#", true},
           {"expiry unreadable", cached + "soon@@#", true},
           {"token emptied", "#@@PTOK=@@#@@PTEXP=" + std::to_string(kNow + 3600) + "@@#", true}}) {
    FakeTokens tokens;
    std::string params = kClientSide + c.state.substr(c.state.empty() ? 0 : 1);
    OAuthLogin login;
    ASSERT_TRUE(PrepareOAuthLogin(vocab::kMailOAuthKeys, tokens, kNow, 10, &params, &login).ok())
        << c.name;
    EXPECT_EQ(login.method, LoginMethod::kXoauth2) << c.name;
    EXPECT_EQ(tokens.requests.size(), c.requests ? 1u : 0u) << c.name;
    EXPECT_EQ(login.requested, c.requests) << c.name;
    EXPECT_EQ(login.token, c.requests ? "AT1" : "OLD") << c.name;
    if (c.requests) {
      EXPECT_EQ(Base64Decode(GetParameterValue(params, "@@PTOK")), "AT1") << c.name;
      EXPECT_EQ(GetParameterValue(params, "@@PTEXP"), std::to_string(kNow + 3600)) << c.name;
      const TokenRequest& r = tokens.requests[0];
      EXPECT_EQ(r.url, "https://t/token") << c.name;
      EXPECT_EQ(r.client_id, "app") << c.name;
      EXPECT_EQ(r.client_secret, "secret") << c.name;
      EXPECT_EQ(r.scope, "mail") << c.name;
      EXPECT_EQ(r.refresh_token, "") << c.name;
      EXPECT_EQ(r.timeout_seconds, 10) << c.name;
    }
  }
}

TEST(OAuthLoginTest, RotatedRefreshTokenWrittenBack) {
  FakeTokens tokens;
  tokens.grant = {"AT2", -1, "RT-new"};
  std::string params = "#SUSR=me#SAUTH=auto#STURL=https://t#SCID=c#SRTK=" + B64("RT-old") + "#";
  OAuthLogin login;
  ASSERT_TRUE(PrepareOAuthLogin(vocab::kSmtpOAuthKeys, tokens, kNow, 5, &params, &login).ok());
  EXPECT_EQ(login.method, LoginMethod::kAutomatic);
  ASSERT_EQ(tokens.requests.size(), 1u);
  EXPECT_EQ(tokens.requests[0].refresh_token, "RT-old");
  EXPECT_EQ(Base64Decode(GetParameterValue(params, "SRTK")), "RT-new");
  // No lifetime given: the token serves this call only.
  EXPECT_EQ(GetParameterValue(params, "@@STEXP"), std::to_string(kNow));
  EXPECT_EQ(params.find("RT-new"), std::string::npos) << "stored Base64-encoded";
  EXPECT_EQ(params.find("AT2"), std::string::npos) << "stored Base64-encoded";
}

TEST(OAuthLoginTest, Failures) {
  struct Case {
    const char* name;
    std::string params;
    std::string text;
    int code;
  };
  for (const Case& c : std::vector<Case>{
           {"unknown method", "#PUSR=a#PAUTH=XOAUTH#", "unknown login method \"XOAUTH\" in PAUTH", 0},
           {"no user", "#PAUTH=XOAUTH2#PTURL=https://t#PCID=c#",
            "an OAuth login needs a user name in PUSR", 0},
           {"bad secret", "#PUSR=a#PAUTH=XOAUTH2#PCSEC==x#", "Invalid secret encoding in PCSEC",
            kSecretEncodingError},
           {"request failed", kClientSide, "OAuth token request failed: invalid_client (HTTP 401)", 0}}) {
    FakeTokens tokens;
    tokens.fail = Status::Error("OAuth token request failed: invalid_client (HTTP 401)", 401);
    std::string params = c.params;
    OAuthLogin login;
    Status s = PrepareOAuthLogin(vocab::kMailOAuthKeys, tokens, kNow, 10, &params, &login);
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message(), c.text) << c.name;
    EXPECT_EQ(s.code(), c.code) << c.name;
    EXPECT_EQ(params, c.params) << c.name;
  }
}

// Records the arguments of the operations; answers with one text.
class RecordingMail : public MailOperations {
 public:
  std::string text = "OK";
  std::string subject = "TESSALY 1";
  std::vector<std::string> calls;
  SendArgs send;
  RetrieveArgs retrieve;
  CountArgs count;
  std::string SendMessage(const SendArgs& a, std::string* s) override {
    calls.push_back("send");
    send = a;
    *s = text.rfind("ERR", 0) == 0 ? "" : subject;
    return text;
  }
  std::string RetrieveMessages(const RetrieveArgs& a) override {
    calls.push_back("pop3");
    retrieve = a;
    return text;
  }
  std::string RetrieveMessagesImap4(const RetrieveArgs& a) override {
    calls.push_back("imap4");
    retrieve = a;
    return text;
  }
  std::string CountMessages(const CountArgs& a) override {
    calls.push_back("count");
    count = a;
    return text;
  }
};

struct PhaseRun {
  bool verdict;
  std::string result;
  std::string params;
};

PhaseRun RunPhase(RecordingMail& mail, FakeTokens& tokens, const std::string& params) {
  FakeClock clock;
  clock.unix_seconds = kNow;
  CheckRunEnv env;
  env.mail = &mail;
  env.clock = &clock;
  env.tokens = &tokens;
  Variant p(params);
  std::string result;
  const bool v = RunCheck(env, &p, Variant(10), &result);
  return {v, result, p.ToText()};
}

TEST(OAuthCheckRunTest, TokenReachesEachOperation) {
  const std::string smtp = "#SUSR=me#SAUTH=OAUTHBEARER#STURL=https://t#SCID=c#";
  struct Case {
    const char* name;
    std::string params;
    const char* call;
  };
  for (const Case& c : std::vector<Case>{{"send", smtp + "OMODE=SMTP#", "send"},
                                         {"pop3", kClientSide + "OMODE=POP3#", "pop3"},
                                         {"imap4", kClientSide + "OMODE=IMAP4#", "imap4"},
                                         {"count", kClientSide + "OMODE=CPOP#", "count"}}) {
    RecordingMail mail;
    mail.text = c.call == std::string("count") ? " 1 message(s) in this mailbox (a)" : "OK";
    FakeTokens tokens;
    PhaseRun r = RunPhase(mail, tokens, c.params);
    ASSERT_EQ(mail.calls, std::vector<std::string>{c.call}) << c.name;
    EXPECT_TRUE(r.verdict) << c.name << ": " << r.result;
    EXPECT_EQ(tokens.requests.size(), 1u) << c.name;
    const std::string side = c.call == std::string("send") ? "@@STOK" : "@@PTOK";
    EXPECT_EQ(Base64Decode(GetParameterValue(r.params, side)), "AT1") << c.name;
    if (c.call == std::string("send")) {
      EXPECT_EQ(mail.send.login, LoginMethod::kOAuthBearer);
      EXPECT_EQ(mail.send.token, "AT1");
    } else if (c.call == std::string("count")) {
      EXPECT_EQ(mail.count.login, LoginMethod::kXoauth2);
      EXPECT_EQ(mail.count.token, "AT1");
    } else {
      EXPECT_EQ(mail.retrieve.login, LoginMethod::kXoauth2) << c.name;
      EXPECT_EQ(mail.retrieve.token, "AT1") << c.name;
    }
  }
  // A second call reuses the cached token.
  RecordingMail mail;
  FakeTokens tokens;
  PhaseRun first = RunPhase(mail, tokens, kClientSide + "OMODE=POP3#");
  PhaseRun second = RunPhase(mail, tokens, first.params);
  EXPECT_TRUE(second.verdict);
  EXPECT_EQ(tokens.requests.size(), 1u);
}

TEST(OAuthCheckRunTest, FailedLoginTexts) {
  struct Case {
    const char* name;
    std::string params;
    std::string result;
    const char* next;  // @@NEXT afterwards
  };
  const std::string smtp = "#SUSR=me#SAUTH=XOAUTH2#STURL=https://t#SCID=c#";
  const std::string refused = "OAuth token request failed: invalid_client: bad (HTTP 401)";
  for (const Case& c : std::vector<Case>{
           {"send", smtp + "OMODE=TESSALY#", "ERR SMTP: " + refused + " (5)", "SMTP"},
           {"pop3", kClientSide + "OMODE=TESSALY#@@NEXT=POP3@@#", "ERR POP3:" + refused + " (3)",
            "SMTP"},
           {"imap4", kClientSide + "OMODE=TESSIMO#@@NEXT=IMAP4@@#", "ERR IMAP4:" + refused + " (3)",
            "SMTP"},
           {"count", kClientSide + "OMODE=CPOP#", "ERR COUNT POP3:" + refused, ""},
           {"unknown method", "#PUSR=a#PAUTH=bearer#OMODE=POP3#",
            "ERR POP3:unknown login method \"bearer\" in PAUTH (3)", "POP3"}}) {
    RecordingMail mail;
    FakeTokens tokens;
    tokens.fail = Status::Error(refused);
    PhaseRun r = RunPhase(mail, tokens, c.params);
    EXPECT_FALSE(r.verdict) << c.name;
    EXPECT_EQ(r.result, c.result) << c.name;
    EXPECT_TRUE(mail.calls.empty()) << c.name << ": no mail operation without a token";
    EXPECT_EQ(GetParameterValue(r.params, "@@NEXT"), c.next) << c.name;
  }
  RecordingMail mail;
  FakeTokens tokens;
  PhaseRun r = RunPhase(mail, tokens, "#PUSR=a#PAUTH=XOAUTH2#PCSEC==x#OMODE=POP3#");
  EXPECT_EQ(r.result, "ERR docheck : Invalid secret encoding in PCSEC( 5- 0)");
}

TEST(OAuthCheckRunTest, FailedPhaseDropsCachedToken) {
  RecordingMail mail;
  FakeTokens tokens;
  PhaseRun ok = RunPhase(mail, tokens, kClientSide + "OMODE=POP3#");
  ASSERT_FALSE(GetParameterValue(ok.params, "@@PTOK").empty());
  mail.text = "ERR POP3:XOAUTH2 login refused: -ERR [AUTH] Authentication failed. (3)";
  PhaseRun failed = RunPhase(mail, tokens, ok.params);
  EXPECT_FALSE(failed.verdict);
  EXPECT_EQ(GetParameterValue(failed.params, "@@PTOK"), "");
  EXPECT_EQ(GetParameterValue(failed.params, "@@PTEXP"), "");
  mail.text = "ERR POP3: no messages received";
  PhaseRun empty = RunPhase(mail, tokens, failed.params);
  EXPECT_EQ(tokens.requests.size(), 2u) << "a new token after the refusal";
  EXPECT_FALSE(GetParameterValue(empty.params, "@@PTOK").empty())
      << "a failure after the login keeps the token";
}

}  // namespace
}  // namespace tessaly
