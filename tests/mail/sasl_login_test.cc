// The OAuth logins of the POP3 and IMAP4 clients as transcripts on the
// scripted server: where the initial response goes (on the command line or
// after the "+"), what the client answers to a failure challenge, the texts
// of a refusal and of a server that hangs up, and the masked trail.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "env/base64.h"
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/sasl_oauth.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using testing::ScriptServer;
using testing::ServerScript;
using Lines = std::vector<std::string>;

constexpr std::int16_t kTimeout = 3;

// Every trail line the client reports.
class Trail : public ComponentEvents {
 public:
  void OnTrail(TrailDirection, std::string_view text) override { lines.emplace_back(text); }
  Lines lines;
};

std::string Xoauth2(const std::string& token) {
  return Base64Encode(OAuthInitialResponse(LoginMethod::kXoauth2, "u", token, "", 0));
}
std::string Bearer(const std::string& token, int port) {
  return Base64Encode(OAuthInitialResponse(LoginMethod::kOAuthBearer, "u", token, "127.0.0.1",
                                           port));
}
const std::string kChallenge = Base64Encode(R"({"status":"401","schemes":"bearer","scope":"mail"})");

struct Outcome {
  Status status;
  Lines transcript;
  Lines trail;
  std::chrono::steady_clock::duration took;
};

template <typename Component>
Outcome Login(std::unique_ptr<Component> client, const ServerScript& script, LoginMethod method,
              const std::string& token, int* port = nullptr) {
  ScriptServer server(script);
  if (port != nullptr) *port = server.port();
  Trail trail;
  Outcome out;
  {
    client->SetEvents(&trail);
    client->SetMailServer("127.0.0.1");
    client->SetMailPort(server.port());
    client->SetUser("u");
    EXPECT_TRUE(client->SetSslStartMode(3).ok());
    EXPECT_TRUE(client->SetLogin(method, token).ok());
    client->SetTimeout(kTimeout);
    const auto start = std::chrono::steady_clock::now();
    out.status = client->Connect();
    out.took = std::chrono::steady_clock::now() - start;
    if (out.status.ok()) (void)client->Disconnect();
  }
  EXPECT_TRUE(server.WaitDone(std::chrono::seconds(5)));
  out.transcript = server.Transcript();
  out.trail = trail.lines;
  return out;
}

const std::string kLongToken(300, 't');  // a JWT is longer still

TEST(SaslLoginTest, Pop3WireForms) {
  const std::string caps = "+OK\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
  struct Case {
    const char* name;
    ServerScript script;
    LoginMethod method;
    std::string token;
    Lines commands;  // "" is a line the test fills in (the OAUTHBEARER response)
    std::string error;
  };
  const std::vector<Case> cases = {
      {"short: initial response on the line",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH XOAUTH2 ")
           .Send("+OK in").Expect("QUIT").Send("+OK"),
       LoginMethod::kXoauth2, "tok", {"CAPA", "AUTH XOAUTH2 " + Xoauth2("tok"), "QUIT"}, ""},
      {"long: after the continuation",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH XOAUTH2")
           .Send("+ ").Expect().Send("+OK in").Expect("QUIT").Send("+OK"),
       LoginMethod::kXoauth2, kLongToken, {"CAPA", "AUTH XOAUTH2", Xoauth2(kLongToken), "QUIT"},
       ""},
      {"XOAUTH2 refusal: empty answer to the challenge",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH XOAUTH2")
           .Send("+ ").Expect().Send("+ " + kChallenge).Expect().Send("-ERR [AUTH] failed."),
       LoginMethod::kXoauth2, kLongToken, {"CAPA", "AUTH XOAUTH2", Xoauth2(kLongToken), ""},
       "XOAUTH2 login refused: -ERR [AUTH] failed. (server status 401, scope mail)"},
      {"OAUTHBEARER refusal: AQ== to the challenge (auto picks it)",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH OAUTHBEARER")
           .Send("+ ").Expect().Send("+ " + Base64Encode(R"({"status":"invalid_token"})"))
           .Expect("AQ==").Send("-ERR [AUTH] failed."),
       LoginMethod::kAutomatic, kLongToken, {"CAPA", "AUTH OAUTHBEARER", "", "AQ=="},
       "OAUTHBEARER login refused: -ERR [AUTH] failed. (server status invalid_token)"},
      {"refused at once",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH XOAUTH2")
           .Send("-ERR not now"),
       LoginMethod::kXoauth2, kLongToken, {"CAPA", "AUTH XOAUTH2"},
       "XOAUTH2 login refused: -ERR not now"},
      {"hang-up after an oversized response",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw(caps).Expect("AUTH XOAUTH2")
           .Send("+ ").Expect().Close(),
       LoginMethod::kXoauth2, kLongToken, {"CAPA", "AUTH XOAUTH2", Xoauth2(kLongToken)},
       "XOAUTH2 login refused: the server closed the connection after a login response of " +
           std::to_string(Xoauth2(kLongToken).size()) +
           " bytes (a token too large for the server?)"},
      {"mechanism not offered: nothing sent",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw("+OK\r\nSASL PLAIN\r\n.\r\n")
           .RecordUntilClose(),
       LoginMethod::kOAuthBearer, "tok", {"CAPA"},
       "the server offers no OAUTHBEARER login (it offers: PLAIN)"},
      {"no SASL line: the mechanism is tried",
       ServerScript().Send("+OK hi").Expect("CAPA").SendRaw("+OK\r\nUSER\r\n.\r\n")
           .Expect("AUTH XOAUTH2 ").Send("+OK in").Expect("QUIT").Send("+OK"),
       LoginMethod::kAutomatic, "tok", {"CAPA", "AUTH XOAUTH2 " + Xoauth2("tok"), "QUIT"}, ""},
  };
  for (const Case& c : cases) {
    int port = 0;
    Outcome o = Login(NewPop3Client(), c.script, c.method, c.token, &port);
    Lines expected = c.commands;
    for (std::string& line : expected) {
      if (line.empty() && c.method != LoginMethod::kXoauth2) line = Bearer(c.token, port);
    }
    EXPECT_EQ(o.status.message(), c.error) << c.name;
    EXPECT_EQ(o.transcript, expected) << c.name;
    EXPECT_LT(o.took, std::chrono::seconds(kTimeout)) << c.name;
    for (const std::string& line : o.trail) {
      EXPECT_EQ(line.find(Xoauth2(c.token).substr(0, 40)), std::string::npos) << c.name << line;
    }
  }
}

TEST(SaslLoginTest, Imap4WireForms) {
  const std::string greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN AUTH=XOAUTH2 ";
  struct Case {
    const char* name;
    ServerScript script;
    LoginMethod method;
    Lines commands;  // "" is the OAUTHBEARER response
    std::string error;
  };
  const std::vector<Case> cases = {
      {"SASL-IR: initial response on the line",
       ServerScript().Send(greeting + "SASL-IR] hi").Expect("a1 AUTHENTICATE XOAUTH2 ")
           .Send("a1 OK [CAPABILITY IMAP4rev1] in").Expect("a2 LOGOUT").Send("a2 OK"),
       LoginMethod::kXoauth2, {"a1 AUTHENTICATE XOAUTH2 " + Xoauth2(kLongToken), "a2 LOGOUT"}, ""},
      {"without SASL-IR: after the continuation; LOGINDISABLED stops only LOGIN",
       ServerScript().Send(greeting + "AUTH=OAUTHBEARER LOGINDISABLED] hi")
           .Expect("a1 AUTHENTICATE OAUTHBEARER").Send("+ ").Expect()
           .Send("a1 OK [CAPABILITY IMAP4rev1] in").Expect("a2 LOGOUT").Send("a2 OK"),
       LoginMethod::kAutomatic, {"a1 AUTHENTICATE OAUTHBEARER", "", "a2 LOGOUT"}, ""},
      {"refusal: the challenge answered, its status in the text",
       ServerScript().Send(greeting + "SASL-IR] hi").Expect("a1 AUTHENTICATE XOAUTH2")
           .Send("+ " + kChallenge).Expect()
           .Send("a1 NO [AUTHENTICATIONFAILED] Authentication failed."),
       LoginMethod::kXoauth2, {"a1 AUTHENTICATE XOAUTH2 " + Xoauth2(kLongToken), ""},
       "XOAUTH2 login refused: a1 NO [AUTHENTICATIONFAILED] Authentication failed. "
       "(server status 401, scope mail)"},
      {"hang-up after the response",
       ServerScript().Send(greeting + "SASL-IR] hi").Expect("a1 AUTHENTICATE XOAUTH2").Close(),
       LoginMethod::kXoauth2, {"a1 AUTHENTICATE XOAUTH2 " + Xoauth2(kLongToken)},
       "XOAUTH2 login refused: the server closed the connection after a login response of " +
           std::to_string(Xoauth2(kLongToken).size()) +
           " bytes (a token too large for the server?)"},
      {"not offered",
       ServerScript().Send(greeting + "SASL-IR] hi").RecordUntilClose(),
       LoginMethod::kOAuthBearer, {},
       "the server offers no OAUTHBEARER login (it offers: PLAIN XOAUTH2)"},
  };
  for (const Case& c : cases) {
    int port = 0;
    Outcome o = Login(NewImap4Client(), c.script, c.method, kLongToken, &port);
    Lines expected = c.commands;
    for (std::string& line : expected) {
      if (line.empty() && c.method != LoginMethod::kXoauth2) line = Bearer(kLongToken, port);
    }
    EXPECT_EQ(o.status.message(), c.error) << c.name;
    EXPECT_EQ(o.transcript, expected) << c.name;
    EXPECT_LT(o.took, std::chrono::seconds(kTimeout)) << c.name;
    for (const std::string& line : o.trail) {
      EXPECT_EQ(line.find(std::string(40, 't')), std::string::npos) << c.name;
      EXPECT_EQ(line.find(Xoauth2(kLongToken).substr(0, 40)), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace tessaly
