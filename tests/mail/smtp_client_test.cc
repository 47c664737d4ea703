// The small SMTP client of the shipped SMTP component, as transcripts
// against the scripted server: what it sends, in which order, and how a
// refusal or a silent server ends the call.
#include "mail/smtp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "env/base64.h"
#include "mail/sasl_oauth.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using testing::ScriptServer;
using testing::ServerScript;

SmtpSettings Settings(int port) {
  SmtpSettings s;
  s.helo = "probe.example.net";
  s.server = "127.0.0.1";
  s.port = port;
  s.timeout_seconds = 2;
  s.from = "alice@example.org";
  return s;
}

const char kMessage[] = "Subject: t\r\n\r\n.leading dot\r\nbody";

// The server's greeting and EHLO reply with the given AUTH line.
ServerScript GreetOffering(const std::string& auth_line) {
  return ServerScript().Send("220 mx").Expect("EHLO").Send("250-mx").Send(auth_line);
}

// script, then every command from MAIL FROM to QUIT accepted.
ServerScript AcceptMail(ServerScript script) {
  return script.Expect("MAIL FROM")
      .Send("250 ok")
      .Expect("RCPT TO")
      .Send("250 ok")
      .Expect("DATA")
      .Send("354 go")
      .ExpectUntil(".")
      .Send("250 queued")
      .Expect("QUIT")
      .Send("221 bye");
}

TEST(SmtpClientTest, PlainSendWithAuthPlainAndDotStuffing) {
  ScriptServer server(AcceptMail(GreetOffering("250-AUTH LOGIN PLAIN")
                                     .Send("250 8BITMIME")
                                     .Expect("AUTH PLAIN")
                                     .Send("235 ok")));
  SmtpSettings s = Settings(server.port());
  s.login = true;
  s.user = "alice";
  s.password = "pw";
  const Status st = SendSmtpMessage(s, "bob@example.org", kMessage);
  ASSERT_TRUE(st.ok()) << st.message();
  ASSERT_TRUE(server.WaitDone(std::chrono::seconds(5)));
  EXPECT_EQ(server.Transcript(),
            (std::vector<std::string>{"EHLO probe.example.net", "AUTH PLAIN AGFsaWNlAHB3",
                                      "MAIL FROM:<alice@example.org>", "RCPT TO:<bob@example.org>",
                                      "DATA", "Subject: t", "", "..leading dot", "body", ".",
                                      "QUIT"}));
  EXPECT_TRUE(server.Errors().empty());
}

TEST(SmtpClientTest, AuthLoginWhenPlainIsNotOfferedAndHeloWhenEhloIsRefused) {
  ScriptServer server(ServerScript()
                          .Send("220 mx")
                          .Expect("EHLO")
                          .Send("502 no ehlo")
                          .Expect("HELO")
                          .Send("250 mx")  // HELO offers no AUTH
                          .RecordUntilClose());
  SmtpSettings s = Settings(server.port());
  s.login = true;
  s.user = "alice";
  s.password = "pw";
  const Status st = SendSmtpMessage(s, "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), "AUTH refused: the server offers neither PLAIN nor LOGIN");

  ScriptServer login(ServerScript()
                         .Send("220 mx")
                         .Expect("EHLO")
                         .Send("250-mx")
                         .Send("250 AUTH=LOGIN")
                         .Expect("AUTH LOGIN")
                         .Send("334 VXNlcm5hbWU6")
                         .Expect("YWxpY2U=")
                         .Send("334 UGFzc3dvcmQ6")
                         .Expect("cHc=")
                         .Send("535 5.7.8 authentication failed")
                         .RecordUntilClose());
  s.port = login.port();
  const Status refused = SendSmtpMessage(s, "bob@example.org", kMessage);
  EXPECT_EQ(refused.message(), "AUTH refused: 535 5.7.8 authentication failed");
  EXPECT_EQ(refused.message().find("pw"), std::string::npos);
}

SmtpSettings OAuthSettings(int port, LoginMethod mechanism, const std::string& token) {
  SmtpSettings s = Settings(port);
  s.login = true;
  s.user = "alice";
  s.password = "pw";  // never sent: the token wins
  s.bearer_token = token;
  s.mechanism = mechanism;
  return s;
}

std::string Response(LoginMethod mechanism, const std::string& token, int port) {
  return Base64Encode(OAuthInitialResponse(mechanism, "alice", token, "127.0.0.1", port));
}

TEST(SmtpClientTest, OAuthLoginTakesTheMechanismTheServerOffers) {
  struct Case {
    const char* name;
    const char* auth_line;
    LoginMethod configured;
    LoginMethod sent;
  };
  const Case cases[] = {
      {"XOAUTH2 asked, both offered", "250 AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER",
       LoginMethod::kXoauth2, LoginMethod::kXoauth2},
      {"OAUTHBEARER asked", "250 AUTH=OAUTHBEARER", LoginMethod::kOAuthBearer,
       LoginMethod::kOAuthBearer},
      {"AUTO, both offered", "250 AUTH xoauth2 oauthbearer", LoginMethod::kAutomatic,
       LoginMethod::kOAuthBearer},
      {"AUTO, XOAUTH2 alone", "250 AUTH LOGIN XOAUTH2", LoginMethod::kAutomatic,
       LoginMethod::kXoauth2},
  };
  const std::string token = "ya29.token";
  for (const Case& c : cases) {
    ScriptServer server(
        AcceptMail(GreetOffering(c.auth_line).Expect("AUTH ").Send("235 2.7.0 ok")));
    const Status st =
        SendSmtpMessage(OAuthSettings(server.port(), c.configured, token), "bob@example.org",
                        kMessage);
    ASSERT_TRUE(st.ok()) << c.name << ": " << st.message();
    ASSERT_TRUE(server.WaitDone(std::chrono::seconds(5))) << c.name;
    const std::vector<std::string> lines = server.Transcript();
    ASSERT_GE(lines.size(), 3u) << c.name;
    EXPECT_EQ(lines[1], "AUTH " + std::string(MechanismName(c.sent)) + " " +
                            Response(c.sent, token, server.port()))
        << c.name;
    EXPECT_EQ(lines[2], "MAIL FROM:<alice@example.org>") << c.name;
    EXPECT_TRUE(server.Errors().empty()) << c.name;
  }
}

TEST(SmtpClientTest, OAuthRefusalAnswersTheChallengeAndShowsIt) {
  const std::string json = R"({"status":"401","schemes":"bearer","scope":"mail"})";
  const std::string final_reply = "535 5.7.8 Error: authentication failed: (reason unavailable)";
  struct Case {
    LoginMethod mechanism;
    const char* answer;  // what the client owes the challenge
  };
  for (const Case& c : {Case{LoginMethod::kXoauth2, ""}, Case{LoginMethod::kOAuthBearer, "AQ=="}}) {
    const std::string name(MechanismName(c.mechanism));
    ScriptServer server(GreetOffering("250 AUTH XOAUTH2 OAUTHBEARER")
                            .Expect("AUTH " + name)
                            .Send("334 " + Base64Encode(json))
                            .Expect()
                            .Send(final_reply)
                            .RecordUntilClose());
    const std::string token = "expired.token.value";
    const Status st = SendSmtpMessage(OAuthSettings(server.port(), c.mechanism, token),
                                      "bob@example.org", kMessage);
    EXPECT_EQ(st.message(), name + " login refused: " + final_reply + "; OAuth challenge: " + json);
    ASSERT_TRUE(server.WaitDone(std::chrono::seconds(5))) << name;
    const std::vector<std::string> lines = server.Transcript();
    ASSERT_GE(lines.size(), 3u) << name;
    EXPECT_EQ(lines[2], c.answer) << name;
  }
}

TEST(SmtpClientTest, OAuthFailuresBeforeAndAfterTheResponse) {
  // A token too long for the 512-octet AUTH line follows the empty 334.
  const std::string long_token(600, 't');
  ScriptServer split(AcceptMail(GreetOffering("250 AUTH XOAUTH2")
                                    .Expect("AUTH XOAUTH2")
                                    .Send("334 ")
                                    .Expect()
                                    .Send("235 ok")));
  Status st = SendSmtpMessage(OAuthSettings(split.port(), LoginMethod::kXoauth2, long_token),
                              "bob@example.org", kMessage);
  ASSERT_TRUE(st.ok()) << st.message();
  ASSERT_TRUE(split.WaitDone(std::chrono::seconds(5)));
  ASSERT_GE(split.Transcript().size(), 3u);
  EXPECT_EQ(split.Transcript()[1], "AUTH XOAUTH2");
  EXPECT_EQ(split.Transcript()[2], Response(LoginMethod::kXoauth2, long_token, split.port()));

  // A server that hangs up on the response refused it; no time-out.
  ScriptServer drop(GreetOffering("250 AUTH XOAUTH2").Expect("AUTH XOAUTH2").Drop());
  const auto start = std::chrono::steady_clock::now();
  st = SendSmtpMessage(OAuthSettings(drop.port(), LoginMethod::kAutomatic, "tok"),
                       "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), OAuthDroppedText(LoginMethod::kXoauth2,
                                           Response(LoginMethod::kXoauth2, "tok", drop.port())
                                               .size()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // A server that echoes what it got never brings it into the text.
  const std::string token = "ya29.a0AfH6SMB-secret";
  ScriptServer echo(GreetOffering("250 AUTH XOAUTH2")
                        .Serve([](const std::string& line) { return "535 no: " + line + "\r\n"; },
                               std::chrono::milliseconds(500)));
  st = SendSmtpMessage(OAuthSettings(echo.port(), LoginMethod::kXoauth2, token),
                       "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), "XOAUTH2 login refused: 535 no: AUTH XOAUTH2 ***");

  // Nothing is sent for a mechanism the server lacks or a token that
  // would break the line.
  ScriptServer plain(GreetOffering("250 AUTH PLAIN LOGIN").RecordUntilClose());
  st = SendSmtpMessage(OAuthSettings(plain.port(), LoginMethod::kXoauth2, "tok"),
                       "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), "AUTH refused: the server offers no XOAUTH2 login (it offers: PLAIN "
                          "LOGIN)");
  ScriptServer crlf(GreetOffering("250 AUTH XOAUTH2").RecordUntilClose());
  st = SendSmtpMessage(OAuthSettings(crlf.port(), LoginMethod::kXoauth2, "tok\r\nQUIT"),
                       "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), "access token cannot be sent");
  for (ScriptServer* s : {&plain, &crlf}) {
    ASSERT_TRUE(s->WaitDone(std::chrono::seconds(5)));
    EXPECT_EQ(s->Transcript().size(), 1u) << "EHLO only";
  }
}

TEST(SmtpClientTest, RefusalsNameTheStepAndTheServerReply) {
  struct Case {
    const char* name;
    ServerScript script;
    std::string want;
  };
  const Case cases[] = {
      {"Greeting", ServerScript().Send("554 go away"), "greeting refused: 554 go away"},
      {"Recipient",
       ServerScript()
           .Send("220 mx")
           .Expect("EHLO")
           .Send("250 mx")
           .Expect("MAIL")
           .Send("250 ok")
           .Expect("RCPT")
           .Send("550 5.1.1 no such user")
           .RecordUntilClose(),
       "RCPT TO refused: 550 5.1.1 no such user"},
      {"StarttlsMissing",
       ServerScript()
           .Send("220 mx")
           .Expect("EHLO")
           .Send("250 mx")
           .Expect("STARTTLS")
           .Send("502 not here")
           .RecordUntilClose(),
       "STARTTLS refused: 502 not here"},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    SmtpSettings s = Settings(server.port());
    s.use_ssl = std::string(c.name) == "StarttlsMissing";
    EXPECT_EQ(SendSmtpMessage(s, "bob@example.org", kMessage).message(), c.want) << c.name;
  }
}

TEST(SmtpClientTest, SilentServerEndsWithinTheTimeout) {
  ScriptServer server(ServerScript().StallForever());
  SmtpSettings s = Settings(server.port());
  s.timeout_seconds = 1;
  const auto start = std::chrono::steady_clock::now();
  const Status st = SendSmtpMessage(s, "bob@example.org", kMessage);
  EXPECT_EQ(st.message(), "connection timed out after 1 s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(SmtpClientTest, LineBreakInAnAddressIsRefusedBeforeConnecting) {
  SmtpSettings s = Settings(1);
  EXPECT_EQ(SendSmtpMessage(s, "bob@example.org\r\nRCPT TO:<x>", kMessage).message(),
            "line break in sender, recipient or greeting name refused");
}

}  // namespace
}  // namespace tessaly
