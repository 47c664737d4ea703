// The IMAP4 client against the local Dovecot: plain, STARTTLS and implicit
// TLS on both address families, a wrong password, a missing folder,
// fetch + flag + expunge, a message another client flagged \Deleted that
// survives the check's expunge, and a server that refuses LOGIN without
// TLS; a search for an 8-bit subject that Dovecot takes as a LITERAL+
// literal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mail/imap4_client.h"
#include "support/mailstack.h"
#include "support/recording_events.h"

namespace tessaly {
namespace {

using testing::RecordingEvents;

std::unique_ptr<Imap4Component> MakeClient(const testing::MailStack& stack, RecordingEvents* rec,
                                           int port, bool ipv6, int mode,
                                           const std::string& password,
                                           const std::string& host = "") {
  auto c = NewImap4Client(Imap4ClientOptions{stack.imaps_port()});
  testing::ConfigureForStack(c.get(), stack, rec, port, ipv6, mode, "bob", password, host);
  return c;
}

TEST(Imap4ClientMail, LogsInAndSelects) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  struct Case {
    const char* name;
    int port;
    bool ipv6;
    int mode;
    int certificates;
  } cases[] = {
      {"plain v4", stack->imap_port(), false, 3, 0},
      {"starttls v4", stack->imap_port(), false, 0, 1},
      {"implicit v4", stack->imaps_port(), false, 0, 1},
      {"plain v6", stack->imap_port(), true, 3, 0},
      {"starttls v6", stack->imap_port(), true, 0, 1},
      {"implicit v6", stack->imaps_port(), true, 0, 1},
      // TLS from the first byte on another port: no greeting comes in
      // clear, so the client starts the handshake.
      {"tls from the first byte, other port v4", stack->imaps_alt_port(), false, 0, 1},
      {"tls from the first byte, other port v6", stack->imaps_alt_port(), true, 0, 1},
  };
  for (const Case& c : cases) {
    // The last cases: the earlier ones have run.
    if (c.port == 0) GTEST_SKIP() << "stack.env names no IMAPS_ALT_PORT";
    RecordingEvents rec;
    auto client = MakeClient(*stack, &rec, c.port, c.ipv6, c.mode, stack->password("bob"));
    Status s = client->Connect();
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    client->SetMailbox("\"INBOX\"");
    s = client->SelectMailbox();
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    EXPECT_EQ(rec.certificates, c.certificates) << c.name;
    EXPECT_TRUE(client->Disconnect().ok()) << c.name;
    for (const std::string& line : rec.trail) {
      EXPECT_EQ(line.find(stack->password("bob")), std::string::npos) << c.name << line;
    }
  }
}

TEST(Imap4ClientMail, FailuresCarryServerText) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  RecordingEvents rec;
  auto bad = MakeClient(*stack, &rec, stack->imap_port(), false, 3, "wrong");
  Status s = bad->Connect();
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.message().find(" NO "), std::string::npos) << s.message();
  auto good = MakeClient(*stack, &rec, stack->imap_port(), false, 3, stack->password("bob"));
  ASSERT_TRUE(good->Connect().ok());
  good->SetMailbox("\"No\\such \"folder\"");
  s = good->SelectMailbox();
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.message().find(" NO "), std::string::npos) << s.message();
  EXPECT_TRUE(good->Connected());
}

TEST(Imap4ClientMail, FetchesFlagsAndExpunges) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  ASSERT_TRUE(stack->ClearMailbox("bob").ok());
  for (int i = 1; i <= 40; ++i) {
    ASSERT_TRUE(stack->PutMessage("bob", "Subject: m" + std::to_string(i) +
                                             "\r\nX-Sender: t\r\n\r\nbody\r\n")
                    .ok());
  }
  RecordingEvents rec;
  auto client = MakeClient(*stack, &rec, stack->imap_port(), false, 0, stack->password("bob"));
  ASSERT_TRUE(client->Connect().ok());
  client->SetMailbox("\"INBOX\"");
  ASSERT_TRUE(client->SelectMailbox().ok());
  std::int32_t count = 0;
  ASSERT_TRUE(client->MessageCount(&count).ok());
  ASSERT_EQ(count, 40);
  std::vector<std::string> subjects;
  Status s = client->FetchEach(count, [&](std::int32_t n, std::string_view subject) {
    subjects.emplace_back(subject);
    return n > 30 || n % 10 == 0;
  });
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_EQ(subjects.size(), 40u);
  EXPECT_EQ(subjects[0], "m1");
  EXPECT_EQ(rec.headers.size(), 80u);
  ASSERT_TRUE(client->Expunge().ok());
  ASSERT_TRUE(client->Disconnect().ok());
  EXPECT_EQ(stack->ListMessages("bob").size(), 27u);
}

// An 8-bit subject goes as a literal with CHARSET UTF-8 in the flight of
// the SELECT and Dovecot answers it; a value that is not UTF-8 is never
// sent, and nothing is found then (the caller fetches everything).
TEST(Imap4ClientMail, SearchesForAnEightBitSubject) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  ASSERT_TRUE(stack->ClearMailbox("bob").ok());
  for (const char* subject : {"other", "caf\xC3\xA9 TESSIMO 1", "Re: caf\xC3\xA9 tessimo 1"}) {
    ASSERT_TRUE(stack->PutMessage("bob", std::string("Subject: ") + subject + "\r\n\r\nx\r\n").ok());
  }
  struct Case {
    const char* name;
    std::string value;
    bool found;
  } cases[] = {
      {"utf-8", "caf\xC3\xA9 TESSIMO 1", true},
      {"latin-1", "caf\xE9 TESSIMO 1", false},
  };
  for (const Case& c : cases) {
    RecordingEvents rec;
    auto client = MakeClient(*stack, &rec, stack->imap_port(), false, 3, stack->password("bob"));
    ASSERT_TRUE(client->Connect().ok()) << c.name;
    client->SetSearch({{"Subject", c.value}});
    client->SetMailbox("\"INBOX\"");
    Status s = client->SelectMailbox();
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    std::vector<std::string> subjects;
    bool found = true;
    auto decide = [&](std::int32_t, std::string_view subject) {
      subjects.emplace_back(subject);
      return false;
    };
    s = client->FetchFound(3, decide, &found);
    ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
    EXPECT_EQ(found, c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(subjects, (std::vector<std::string>{"caf\xC3\xA9 TESSIMO 1",
                                                     "Re: caf\xC3\xA9 tessimo 1"}))
          << c.name;
    } else {
      EXPECT_TRUE(subjects.empty()) << c.name;
    }
    bool charset = false;
    for (const std::string& line : rec.trail) {
      if (line.find("UID SEARCH CHARSET UTF-8 SUBJECT {") != std::string::npos) charset = true;
    }
    EXPECT_EQ(charset, c.found) << c.name;
    EXPECT_TRUE(client->Disconnect().ok()) << c.name;
  }
}

// Runs a command line as another IMAP4 client would; its exit code.
int RunCommand(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buf[512];
  while (std::fread(buf, 1, sizeof buf, pipe) > 0) {
  }
  return ::pclose(pipe);
}

// With UIDPLUS (Dovecot has it) the check expunges only what it flagged:
// a message another client marked \Deleted is still there afterwards.
TEST(Imap4ClientMail, ForeignDeletedMessageSurvivesTheExpunge) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  ASSERT_TRUE(stack->ClearMailbox("bob").ok());
  ASSERT_TRUE(stack->PutMessage("bob", "Subject: foreign, deleted elsewhere\r\n\r\nx\r\n").ok());
  // Another session flags the (only) message \Deleted and leaves.
  ASSERT_EQ(RunCommand("curl -sS --max-time 20 imap://127.0.0.1:" +
                       std::to_string(stack->imap_port()) + "/INBOX -u bob:" +
                       stack->password("bob") + " -X 'STORE 1 +FLAGS (\\Deleted)'"),
            0);
  ASSERT_TRUE(stack->PutMessage("bob", "Subject: own\r\nX-Sender: TESSIMOCom\r\n\r\nx\r\n").ok());
  ASSERT_TRUE(stack->PutMessage("bob", "Subject: foreign\r\n\r\nx\r\n").ok());

  RecordingEvents rec;
  auto client = MakeClient(*stack, &rec, stack->imap_port(), false, 3, stack->password("bob"));
  ASSERT_TRUE(client->Connect().ok());
  client->SetMailbox("\"INBOX\"");
  ASSERT_TRUE(client->SelectMailbox().ok());
  std::int32_t count = 0;
  ASSERT_TRUE(client->MessageCount(&count).ok());
  ASSERT_EQ(count, 3);
  Status s = client->FetchEach(count, [](std::int32_t, std::string_view subject) {
    return subject == "own";
  });
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_TRUE(client->Expunge().ok());
  ASSERT_TRUE(client->Disconnect().ok());

  std::vector<testing::MaildirMessage> left = stack->ReadMessages("bob");
  ASSERT_EQ(left.size(), 2u);
  std::string subjects;
  for (const auto& m : left) subjects += m.text.substr(0, m.text.find("\r\n")) + "|";
  EXPECT_NE(subjects.find("Subject: foreign, deleted elsewhere|"), std::string::npos) << subjects;
  EXPECT_NE(subjects.find("Subject: foreign|"), std::string::npos) << subjects;
  bool uid_expunge = false;
  for (const std::string& line : rec.trail) {
    if (line.find(" UID EXPUNGE ") != std::string::npos) uid_expunge = true;
  }
  EXPECT_TRUE(uid_expunge);
}

// Dovecot with plain-text logins disabled advertises LOGINDISABLED on a
// connection that is not TLS: the client sends no LOGIN there, and logs in
// after STARTTLS, where the capabilities it reads again allow it.
TEST(Imap4ClientMail, NoLoginWithoutTlsWhereTheServerForbidsIt) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  if (stack->noplain_imap_port() == 0) GTEST_SKIP() << "stack.env names no NOPLAIN_IMAP_PORT";
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
    auto client = MakeClient(*stack, &rec, stack->noplain_imap_port(), false, c.mode,
                             stack->password("bob"), stack->noplain_host());
    Status s = client->Connect();
    EXPECT_EQ(s.message(), c.error) << c.name;
    bool login_sent = false;
    for (const std::string& line : rec.trail) {
      if (line.find(" LOGIN ") != std::string::npos) login_sent = true;
    }
    EXPECT_EQ(login_sent, *c.error == '\0') << c.name;
    if (s.ok()) {
      client->SetMailbox("\"INBOX\"");
      EXPECT_TRUE(client->SelectMailbox().ok()) << c.name;
      EXPECT_TRUE(client->Disconnect().ok()) << c.name;
    }
  }
}

}  // namespace
}  // namespace tessaly
