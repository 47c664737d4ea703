// The POP3 client against the local Dovecot: plain, STARTTLS and implicit
// TLS on both address families, a wrong password, and retrieve + delete.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mail/pop3_client.h"
#include "support/mailstack.h"
#include "support/recording_events.h"

namespace tessaly {
namespace {

using testing::RecordingEvents;

std::unique_ptr<Pop3Component> MakeClient(const testing::MailStack& stack, RecordingEvents* rec,
                                          int port, bool ipv6, int ssl_mode,
                                          const std::string& password,
                                          const std::string& host = "") {
  auto c = NewPop3Client(Pop3ClientOptions{stack.pop3s_port()});
  testing::ConfigureForStack(c.get(), stack, rec, port, ipv6, ssl_mode, "alice", password, host);
  return c;
}

TEST(Pop3ClientMail, LogsInEveryWay) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  struct Case {
    const char* name;
    int port;
    bool ipv6;
    int mode;
    int certificates;
  } cases[] = {
      {"plain v4", stack->pop3_port(), false, 3, 0},
      {"starttls v4", stack->pop3_port(), false, 0, 1},
      {"implicit v4", stack->pop3s_port(), false, 0, 1},
      {"plain v6", stack->pop3_port(), true, 3, 0},
      {"starttls v6", stack->pop3_port(), true, 0, 1},
      {"implicit v6", stack->pop3s_port(), true, 0, 1},
      // TLS from the first byte on another port: no greeting comes in
      // clear, so the client starts the handshake.
      {"tls from the first byte, other port v4", stack->pop3s_alt_port(), false, 0, 1},
      {"tls from the first byte, other port v6", stack->pop3s_alt_port(), true, 0, 1},
  };
  for (const Case& c : cases) {
    // The last cases: the earlier ones have run.
    if (c.port == 0) GTEST_SKIP() << "stack.env names no POP3S_ALT_PORT";
    RecordingEvents rec;
    auto client = MakeClient(*stack, &rec, c.port, c.ipv6, c.mode, stack->password("alice"));
    Status s = client->Connect();
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    std::int32_t count = -1;
    ASSERT_TRUE(client->MessageCount(&count).ok()) << c.name;
    EXPECT_GE(count, 0) << c.name;
    EXPECT_EQ(rec.certificates, c.certificates) << c.name;
    EXPECT_TRUE(client->Disconnect().ok()) << c.name;
    for (const std::string& line : rec.trail) {
      EXPECT_EQ(line.find(stack->password("alice")), std::string::npos) << c.name << line;
    }
  }
}

TEST(Pop3ClientMail, WrongPasswordCarriesServerText) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  RecordingEvents rec;
  auto client = MakeClient(*stack, &rec, stack->pop3_port(), false, 3, "wrong-password");
  Status s = client->Connect();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message().rfind("-ERR", 0), 0u) << s.message();
  EXPECT_FALSE(client->Connected());
  ASSERT_EQ(rec.errors.size(), 1u);
}

// Dovecot with disable_plaintext_auth lists no USER in CAPA on a plain
// connection: the client must not send the password in clear there.
TEST(Pop3ClientMail, NoLoginWithoutTlsWhereTheServerForbidsIt) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  if (stack->noplain_pop3_port() == 0) GTEST_SKIP() << "stack.env names no NOPLAIN_POP3_PORT";
  struct Case {
    const char* name;
    int mode;
    const char* error;  // "" for a login
  } cases[] = {
      {"plain", 3, "server refuses login without TLS; turn SSL on"},
      {"starttls", 0, ""},
  };
  for (const Case& c : cases) {
    RecordingEvents rec;
    auto client = MakeClient(*stack, &rec, stack->noplain_pop3_port(), false, c.mode,
                             stack->password("alice"), stack->noplain_host());
    Status s = client->Connect();
    EXPECT_EQ(s.message(), c.error) << c.name;
    bool credentials_sent = false;
    for (const std::string& line : rec.trail) {
      if (line.rfind("USER ", 0) == 0 || line.rfind("PASS ", 0) == 0) credentials_sent = true;
    }
    EXPECT_EQ(credentials_sent, *c.error == '\0') << c.name;
    if (s.ok()) {
      std::int32_t count = -1;
      EXPECT_TRUE(client->MessageCount(&count).ok()) << c.name;
      EXPECT_TRUE(client->Disconnect().ok()) << c.name;
    }
  }
}

TEST(Pop3ClientMail, RetrievesDeletesDecidedAndKeepsTheRest) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  // Enough messages that the pipelined commands (about 40 KB) outrun a
  // socket buffer and go out in several writes, over STARTTLS.
  constexpr int kMessages = 3000;
  ASSERT_TRUE(stack->ClearMailbox("alice").ok());
  for (int i = 1; i <= kMessages; ++i) {
    ASSERT_TRUE(stack->PutMessage("alice", "Subject: m" + std::to_string(i) +
                                               "\r\nX-Sender: t\r\n\r\nbody\r\n")
                    .ok());
  }
  RecordingEvents rec;
  auto client = MakeClient(*stack, &rec, stack->pop3_port(), false, 0, stack->password("alice"));
  ASSERT_TRUE(client->Connect().ok());
  std::int32_t count = 0;
  ASSERT_TRUE(client->MessageCount(&count).ok());
  ASSERT_EQ(count, kMessages);
  int decided = 0;
  Status s = client->RetrieveEach(count, [&](std::int32_t n) {
    ++decided;
    return n % 2 == 0;
  });
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(decided, kMessages);
  EXPECT_EQ(rec.headers.size(), 2u * kMessages);
  // Dropping without QUIT rolls the marks back.
  client.reset();
  EXPECT_EQ(stack->ListMessages("alice").size(), std::size_t{kMessages});
  client = MakeClient(*stack, &rec, stack->pop3_port(), false, 0, stack->password("alice"));
  ASSERT_TRUE(client->Connect().ok());
  ASSERT_TRUE(client->RetrieveEach(kMessages, [](std::int32_t n) { return n % 2 == 0; }).ok());
  ASSERT_TRUE(client->Disconnect().ok());
  EXPECT_EQ(stack->ListMessages("alice").size(), std::size_t{kMessages / 2});
}

}  // namespace
}  // namespace tessaly
