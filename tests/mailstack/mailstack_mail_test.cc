// Proves the local mail stack: every listener answers on both loopback
// addresses, mail sent by SMTP lands in the Maildir, submission needs AUTH,
// POP3 and IMAP4 logins work over plain, STARTTLS and implicit TLS, the
// listeners on 127.0.0.2 refuse plain-text logins, and the on-demand
// recipients give their replies. Uses the curl command line as an
// independent client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/mailstack.h"

namespace tessaly::testing {
namespace {

using std::chrono::milliseconds;

struct Result {
  int exit_code;
  std::string output;
};

// Runs a shell command with stderr folded into stdout.
Result RunCommand(const std::string& command) {
  Result r{-1, ""};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
  int status = ::pclose(pipe);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Url(const char* scheme, const std::string& host, int port) {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(scheme) + "://" + h + ":" + std::to_string(port);
}

// Connects to host:port and reads what the server says first (up to 1 s).
bool Connects(const std::string& host, int port, std::string* first_bytes) {
  bool v6 = host.find(':') != std::string::npos;
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_storage addr{};
  socklen_t len;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &a->sin_addr);
    len = sizeof *a;
  }
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  if (ok && first_bytes != nullptr) {
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[512];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) first_bytes->assign(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

std::string WriteMessageFile(const std::string& subject) {
  std::string path = ::testing::TempDir() + "/mailstack_msg_" + std::to_string(getpid()) + ".txt";
  std::ofstream out(path, std::ios::binary);
  out << "From: tester@tessaly.test\r\nTo: someone@tessaly.test\r\nSubject: " << subject
      << "\r\n\r\nhello from the stack test\r\n";
  return path;
}

class MailStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stack_ = MailStack::Get();
    if (stack_ == nullptr) GTEST_SKIP() << "local mail stack not running";
    for (const std::string& u : stack_->users()) ASSERT_TRUE(stack_->ClearMailbox(u).ok()) << u;
  }
  const MailStack* stack_ = nullptr;
};

TEST_F(MailStackTest, EveryPortAnswersOnBothAddresses) {
  struct Case {
    const char* name;
    int port;
    const char* greeting;  // "" for implicit-TLS ports (client speaks first)
  };
  const Case cases[] = {
      {"smtp", stack_->smtp_port(), "220 "},       {"submission", stack_->submission_port(), "220 "},
      {"smtps", stack_->smtps_port(), ""},         {"pop3", stack_->pop3_port(), "+OK"},
      {"pop3s", stack_->pop3s_port(), ""},         {"imap", stack_->imap_port(), "* OK"},
      {"imaps", stack_->imaps_port(), ""}};
  for (const char* host : {MailStack::host4(), MailStack::host6()}) {
    for (const Case& c : cases) {
      std::string first;
      ASSERT_TRUE(Connects(host, c.port, *c.greeting != '\0' ? &first : nullptr))
          << c.name << " on " << host;
      EXPECT_EQ(first.rfind(c.greeting, 0), 0u) << c.name << " on " << host << ": " << first;
    }
  }
}

TEST_F(MailStackTest, SmtpDeliversIntoMaildirAndDirectAccessWorks) {
  std::string file = WriteMessageFile("stack delivery");
  for (const char* host : {MailStack::host4(), MailStack::host6()}) {
    Result r = RunCommand("curl -sS --max-time 20 --url " + Url("smtp", host, stack_->smtp_port()) +
                   "/client.test --mail-from tester@tessaly.test --mail-rcpt " +
                   stack_->address("bob") + " --upload-file " + file);
    EXPECT_EQ(r.exit_code, 0) << host << ": " << r.output;
  }
  ASSERT_TRUE(stack_->WaitForMessages("bob", 2, milliseconds(10000)));
  auto messages = stack_->ReadMessages("bob");
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_NE(m.text.find("Subject: stack delivery"), std::string::npos) << m.path;
    EXPECT_NE(m.text.find("Delivered-To: bob@tessaly.test"), std::string::npos) << m.path;
  }

  std::string path;
  ASSERT_TRUE(stack_->PutMessage("carol", "Subject: put\r\n\r\nx\r\n", &path).ok());
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
  EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  EXPECT_EQ(std::to_string(st.st_uid), stack_->value("MAIL_UID")) << path;
  EXPECT_NE(path.find("/Maildir/new/"), std::string::npos) << path;
  // Dovecot sees the message that was put in place directly.
  Result r = RunCommand("curl -sS --max-time 20 " + Url("pop3", MailStack::host4(), stack_->pop3_port()) +
                 "/ -u carol:" + stack_->password("carol"));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output.rfind("1 ", 0), 0u) << r.output;
  ASSERT_TRUE(stack_->ClearMailbox("carol").ok());
  EXPECT_TRUE(stack_->ListMessages("carol").empty());
  EXPECT_FALSE(stack_->WaitForMessages("carol", 1, milliseconds(50)));
}

TEST_F(MailStackTest, SubmissionRequiresAuthAndAcceptsPlainAndLogin) {
  std::string file = WriteMessageFile("submission");
  struct Case {
    const char* name;
    const char* scheme;
    int port;
    std::string options;
    int exit_code;
    const char* output;
  };
  const std::string alice = "alice:" + stack_->password("alice");
  const Case cases[] = {
      {"no auth", "smtp", stack_->submission_port(), "", 55, "MAIL failed: 554"},
      {"wrong password", "smtp", stack_->submission_port(), "-u alice:wrong", 67, ""},
      {"AUTH PLAIN", "smtp", stack_->submission_port(), "--login-options AUTH=PLAIN -u " + alice, 0, ""},
      {"AUTH LOGIN", "smtp", stack_->submission_port(), "--login-options AUTH=LOGIN -u " + alice, 0, ""},
      {"STARTTLS + AUTH", "smtp", stack_->submission_port(), "--ssl-reqd -k -u " + alice, 0, ""},
      {"implicit TLS + AUTH", "smtps", stack_->smtps_port(), "-k -u " + alice, 0, ""},
  };
  int delivered = 0;
  for (const char* host : {MailStack::host4(), MailStack::host6()}) {
    for (const Case& c : cases) {
      Result r = RunCommand("curl -sS --max-time 20 " + c.options + " --url " + Url(c.scheme, host, c.port) +
                     " --mail-from alice@tessaly.test --mail-rcpt carol@tessaly.test --upload-file " + file);
      EXPECT_EQ(r.exit_code, c.exit_code) << c.name << " on " << host << ": " << r.output;
      EXPECT_NE(r.output.find(c.output), std::string::npos) << c.name << " on " << host << ": " << r.output;
      if (c.exit_code == 0) ++delivered;
    }
  }
  EXPECT_TRUE(stack_->WaitForMessages("carol", static_cast<size_t>(delivered), milliseconds(10000)));
}

TEST_F(MailStackTest, Pop3AndImapLoginOverPlainStartTlsAndImplicitTls) {
  ASSERT_TRUE(stack_->PutMessage("alice", "Subject: one\r\n\r\nbody\r\n").ok());
  struct Case {
    const char* name;
    const char* scheme;
    int port;
    const char* options;
    const char* output;
  };
  const Case cases[] = {
      {"pop3 plain", "pop3", stack_->pop3_port(), "", "1 "},
      {"pop3 STARTTLS", "pop3", stack_->pop3_port(), "--ssl-reqd -k", "1 "},
      {"pop3s", "pop3s", stack_->pop3s_port(), "-k", "1 "},
      {"imap plain", "imap", stack_->imap_port(), "", "INBOX"},
      {"imap STARTTLS", "imap", stack_->imap_port(), "--ssl-reqd -k", "INBOX"},
      {"imaps", "imaps", stack_->imaps_port(), "-k", "INBOX"},
  };
  for (const char* host : {MailStack::host4(), MailStack::host6()}) {
    for (const Case& c : cases) {
      std::string base = "curl -sS --max-time 20 " + std::string(c.options) + " " +
                         Url(c.scheme, host, c.port) + "/ -u alice:";
      Result good = RunCommand(base + stack_->password("alice"));
      EXPECT_EQ(good.exit_code, 0) << c.name << " on " << host << ": " << good.output;
      EXPECT_NE(good.output.find(c.output), std::string::npos) << c.name << " on " << host << ": " << good.output;
      auto t0 = std::chrono::steady_clock::now();
      Result bad = RunCommand(base + "wrong");
      EXPECT_EQ(bad.exit_code, 67) << c.name << " on " << host << ": " << bad.output;
      // No failed-login penalty delays the next attempt.
      EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1500)) << c.name << " on " << host;
    }
  }
}

// The listeners on 127.0.0.2 refuse plain-text logins until TLS is up:
// IMAP4 advertises LOGINDISABLED, POP3 refuses USER; both log in after
// STARTTLS/STLS.
TEST_F(MailStackTest, NoPlainListenersRefuseLoginsWithoutTls) {
  ASSERT_NE(stack_->noplain_imap_port(), 0);
  std::string greeting;
  ASSERT_TRUE(Connects(stack_->noplain_host(), stack_->noplain_imap_port(), &greeting));
  EXPECT_NE(greeting.find(" STARTTLS LOGINDISABLED]"), std::string::npos) << greeting;
  ASSERT_TRUE(stack_->PutMessage("alice", "Subject: one\r\n\r\nbody\r\n").ok());
  struct Case {
    const char* name;
    const char* scheme;
    int port;
    const char* output;
  };
  const Case cases[] = {{"pop3", "pop3", stack_->noplain_pop3_port(), "1 "},
                        {"imap", "imap", stack_->noplain_imap_port(), "INBOX"}};
  for (const Case& c : cases) {
    std::string base = "curl -sS --max-time 20 " + Url(c.scheme, stack_->noplain_host(), c.port) +
                       "/ -u alice:" + stack_->password("alice");
    Result plain = RunCommand(base);
    EXPECT_EQ(plain.exit_code, 67) << c.name << ": " << plain.output;
    Result tls = RunCommand(base + " --ssl-reqd -k");
    EXPECT_EQ(tls.exit_code, 0) << c.name << ": " << tls.output;
    EXPECT_NE(tls.output.find(c.output), std::string::npos) << c.name << ": " << tls.output;
  }
}

TEST_F(MailStackTest, OnDemandRecipientsGiveTheirReplies) {
  std::string file = WriteMessageFile("refused");
  struct Case {
    const char* key;
    const char* output;
  };
  const Case cases[] = {{"REJECT550", "RCPT failed: 550"},
                        {"TEMPFAIL451", "RCPT failed: 451"},
                        {"REJECT554", "RCPT failed: 554"}};
  for (const Case& c : cases) {
    Result r = RunCommand("curl -sS --max-time 20 --url " + Url("smtp", MailStack::host6(), stack_->smtp_port()) +
                   " --mail-from tester@tessaly.test --mail-rcpt " + stack_->value(c.key) +
                   " --upload-file " + file);
    EXPECT_EQ(r.exit_code, 55) << c.key << ": " << r.output;
    EXPECT_NE(r.output.find(c.output), std::string::npos) << c.key << ": " << r.output;
  }
}

TEST(MailStackParse, RequiresPortsDomainAndUsers) {
  const std::string good =
      "# c\nMAILSTACK_DIR=/r\nDOMAIN=tessaly.test\nSMTP_PORT=1\nSUBMISSION_PORT=2\n"
      "SMTPS_PORT=3\nPOP3_PORT=4\nPOP3S_PORT=5\nIMAP_PORT=6\nIMAPS_PORT=7\n"
      "USERS=\"alice bob\"\nPASSWORD_alice=pw\nMAIL_DIR=/r/mail\nMAIL_UID=8\nMAIL_GID=8\n";
  auto stack = MailStack::Parse(good);
  ASSERT_NE(stack, nullptr);
  EXPECT_EQ(stack->imaps_port(), 7);
  EXPECT_EQ(stack->users(), (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(stack->password("alice"), "pw");
  EXPECT_EQ(stack->password("nobody"), "");
  EXPECT_EQ(stack->maildir("bob"), "/r/mail/bob/Maildir");
  struct Case {
    const char* name;
    const char* from;
    const char* to;
  };
  const Case broken[] = {{"port missing", "IMAPS_PORT=7\n", ""},
                         {"port not a number", "IMAPS_PORT=7\n", "IMAPS_PORT=x\n"},
                         {"port too big", "IMAPS_PORT=7\n", "IMAPS_PORT=70000\n"},
                         {"no users", "USERS=\"alice bob\"\n", "USERS=\n"},
                         {"no domain", "DOMAIN=tessaly.test\n", ""}};
  for (const Case& c : broken) {
    std::string text = good;
    text.replace(text.find(c.from), std::strlen(c.from), c.to);
    EXPECT_EQ(MailStack::Parse(text), nullptr) << c.name;
  }
}

}  // namespace
}  // namespace tessaly::testing
