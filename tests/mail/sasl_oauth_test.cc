#include "mail/sasl_oauth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "env/base64.h"

namespace tessaly {
namespace {

TEST(SaslOAuthTest, LoginMethodValues) {
  struct Case {
    const char* value;
    bool known;
    LoginMethod method;
  };
  for (const Case& c : std::vector<Case>{{"", true, LoginMethod::kPassword},
                                         {"  password ", true, LoginMethod::kPassword},
                                         {"XOAUTH2", true, LoginMethod::kXoauth2},
                                         {"xoauth2", true, LoginMethod::kXoauth2},
                                         {"OAuthBearer", true, LoginMethod::kOAuthBearer},
                                         {"\tauto", true, LoginMethod::kAutomatic},
                                         {"XOAUTH", false, LoginMethod::kPassword},
                                         {"PLAIN", false, LoginMethod::kPassword}}) {
    LoginMethod m = LoginMethod::kPassword;
    EXPECT_EQ(ParseLoginMethod(c.value, &m), c.known) << c.value;
    if (c.known) {
      EXPECT_EQ(m, c.method) << c.value;
    }
  }
}

TEST(SaslOAuthTest, ChooseMechanism) {
  using M = LoginMethod;
  const std::vector<std::string> both = {"PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER"};
  const std::vector<std::string> xoauth2 = {"xoauth2"};
  const std::vector<std::string> plain = {"PLAIN", "LOGIN"};
  struct Case {
    const char* name;
    M method;
    std::vector<std::string> offered;
    bool listed;
    bool ok;
    M chosen;
  };
  for (const Case& c : std::vector<Case>{
           {"auto prefers OAUTHBEARER", M::kAutomatic, both, true, true, M::kOAuthBearer},
           {"auto takes XOAUTH2", M::kAutomatic, xoauth2, true, true, M::kXoauth2},
           {"XOAUTH2 asked, both offered", M::kXoauth2, both, true, true, M::kXoauth2},
           {"OAUTHBEARER missing", M::kOAuthBearer, xoauth2, true, false, M::kPassword},
           {"auto, none offered", M::kAutomatic, plain, true, false, M::kPassword},
           {"no list: as configured", M::kOAuthBearer, {}, false, true, M::kOAuthBearer},
           {"no list: auto tries XOAUTH2", M::kAutomatic, {}, false, true, M::kXoauth2}}) {
    M chosen = M::kPassword;
    Status s = ChooseMechanism(c.method, c.offered, c.listed, &chosen);
    EXPECT_EQ(s.ok(), c.ok) << c.name << ": " << s.message();
    if (c.ok) {
      EXPECT_EQ(chosen, c.chosen) << c.name;
    }
  }
  LoginMethod chosen = LoginMethod::kPassword;
  Status s = ChooseMechanism(LoginMethod::kAutomatic, plain, true, &chosen);
  EXPECT_EQ(s.message(),
            "the server offers neither OAUTHBEARER nor XOAUTH2 login (it offers: PLAIN LOGIN)");
}

TEST(SaslOAuthTest, InitialResponses) {
  EXPECT_EQ(OAuthInitialResponse(LoginMethod::kXoauth2, "alice@x.test", "tok", "h", 143),
            std::string("user=alice@x.test\x01" "auth=Bearer tok\x01\x01"));
  // RFC 7628: gs2 header with the authzid, its "=" and "," escaped.
  EXPECT_EQ(OAuthInitialResponse(LoginMethod::kOAuthBearer, "a=b,c", "tok", "mail.test", 993),
            std::string("n,a=a=3Db=2Cc,\x01host=mail.test\x01port=993\x01"
                        "auth=Bearer tok\x01\x01"));
  // The form typed by hand against Dovecot (XOAUTH2 for user alice).
  EXPECT_EQ(Base64Encode(OAuthInitialResponse(LoginMethod::kXoauth2, "alice", "T", "", 0)),
            "dXNlcj1hbGljZQFhdXRoPUJlYXJlciBUAQE=");
  EXPECT_EQ(OAuthFailureAnswer(LoginMethod::kXoauth2), "");
  EXPECT_EQ(OAuthFailureAnswer(LoginMethod::kOAuthBearer), "AQ==");
}

TEST(SaslOAuthTest, RefusalTexts) {
  // The challenges Dovecot sends before its final refusal.
  const std::string xoauth2 =
      DecodeChallenge(Base64Encode(R"({"status":"401","schemes":"bearer","scope":"mail"})"));
  EXPECT_EQ(ChallengeSummary(xoauth2), "server status 401, scope mail");
  EXPECT_EQ(OAuthRefusedText(LoginMethod::kOAuthBearer, "-ERR [AUTH] Authentication failed.",
                             DecodeChallenge(Base64Encode(R"({"status":"invalid_token"})"))),
            "OAUTHBEARER login refused: -ERR [AUTH] Authentication failed. "
            "(server status invalid_token)");
  for (const char* junk : {"", "not json", "[1,2]", "{\"other\":1}"}) {
    EXPECT_EQ(ChallengeSummary(junk), "") << junk;
    EXPECT_EQ(OAuthRefusedText(LoginMethod::kXoauth2, "a1 NO x", junk),
              "XOAUTH2 login refused: a1 NO x") << junk;
  }
  EXPECT_EQ(ChallengeSummary(R"({"status":401,"scope":"a\nb"})"), "server status 401, scope a b");
  // The SMTP texts carry the JSON itself: one line, cut at 200 bytes.
  EXPECT_EQ(OAuthChallengeNote(""), "");
  EXPECT_EQ(OAuthChallengeNote("{\"status\":\r\n\"401\"}"), "; OAuth challenge: {\"status\":  \"401\"}");
  EXPECT_EQ(OAuthChallengeNote(std::string(300, 'x')).size(), 19u + 200u);
}

}  // namespace
}  // namespace tessaly
