// The small SMTP client of the shipped SMTP component, as transcripts
// against the scripted server: what it sends, in which order, and how a
// refusal or a silent server ends the call.
#include "mail/smtp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

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

TEST(SmtpClientTest, PlainSendWithAuthPlainAndDotStuffing) {
  ScriptServer server(ServerScript()
                          .Send("220 mx ready")
                          .Expect("EHLO")
                          .Send("250-mx")
                          .Send("250-AUTH LOGIN PLAIN")
                          .Send("250 8BITMIME")
                          .Expect("AUTH PLAIN")
                          .Send("235 ok")
                          .Expect("MAIL FROM")
                          .Send("250 ok")
                          .Expect("RCPT TO")
                          .Send("250 ok")
                          .Expect("DATA")
                          .Send("354 go")
                          .ExpectUntil(".")
                          .Send("250 queued")
                          .Expect("QUIT")
                          .Send("221 bye"));
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
