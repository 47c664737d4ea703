// The command-line host end to end against the local mail stack: the
// configuration goes in with `tessaly set`, each call is one `tessaly
// check`, and the mailbox is looked at directly in the Maildir.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "check/param_string.h"
#include "check/vocab.h"
#include "env/trace.h"
#include "host/cli.h"
#include "mail/mail_date.h"
#include "support/child_process.h"
#include "support/mailstack.h"

namespace tessaly {
namespace {

using testing::MailStack;
constexpr std::chrono::seconds kArrival{20};

// What one command line produced.
struct Outcome {
  int code = -1;
  std::string out, err;
  std::string FirstLine() const { return out.substr(0, out.find('\n')); }
};

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class CliMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stack_ = MailStack::Get();
    if (stack_ == nullptr) GTEST_SKIP() << "local mail stack not running (TESSALY_MAILSTACK)";
    char tmpl[] = "/tmp/tessaly_cli_mail_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    state_ = dir_ + "/state";
    for (const char* user : {"bob", "carol"}) ASSERT_TRUE(stack_->ClearMailbox(user).ok());
  }
  void TearDown() override {
    if (dir_.empty()) return;
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }

  // The real binary as a child process: its exit code, stdout and stderr.
  Outcome RunBinary(const std::vector<std::string>& args, const std::string& input = "") {
    testing::ProgramRun run = testing::RunProgram(dir_, TESSALY_CLI_BINARY, args, input);
    Outcome o;
    o.code = run.code;
    o.out = std::move(run.out);
    o.err = std::move(run.err);
    return o;
  }

  // The same command line in this process, with the real mail operations.
  Outcome RunInProcess(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    CliHooks hooks;
    hooks.trace = &trace_;
    Outcome o;
    o.code = RunCli(std::move(args), in, out, err, hooks);
    o.out = out.str();
    o.err = err.str();
    return o;
  }

  // `tessaly set` of items, and the password of `user` as key via stdin.
  void Configure(std::vector<std::string> items, const std::string& password_key,
                 const std::string& password) {
    std::vector<std::string> args = {"set", "--state", state_};
    args.insert(args.end(), items.begin(), items.end());
    args.insert(args.end(), {"--password-stdin", password_key});
    Outcome o = RunBinary(args, password + "\n");
    ASSERT_EQ(o.code, 0) << o.err;
  }

  // Send-and-fetch configuration for bob; port is the POP3 or IMAP4 port.
  std::vector<std::string> CycleItems(const std::string& mode, int port) const {
    return {"OMODE=" + mode,
            "SSRV=127.0.0.1",
            "SPORT=" + std::to_string(stack_->smtp_port()),
            "SFROM=" + stack_->address("alice"),
            "STO=" + stack_->address("bob"),
            "PSRV=127.0.0.1",
            "PPORT=" + std::to_string(port),
            "PUSR=bob",
            "MBOX=INBOX"};
  }

  std::string Stored(std::string_view key) const {
    std::string text = ReadAll(state_);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return GetParameterValue(text, key);
  }
  std::vector<std::string> Check(const std::string& timeout = "2") const {
    return {"check", "--state", state_, "--timeout", timeout};
  }

  const MailStack* stack_ = nullptr;
  std::string dir_, state_;
  CaptureTraceSink trace_;
};

// A send-and-fetch mode and the fetch protocol's port.
struct CycleCase {
  const char* name;
  std::string_view mode;
  std::string_view subject_word;
  int (MailStack::*port)() const;
};

class CliCycleTest : public CliMailTest, public ::testing::WithParamInterface<CycleCase> {};

// Send then fetch through the real binary: the control mail arrives in the
// Maildir, the fetch finds it and removes it, and @@NEXT alternates.
TEST_P(CliCycleTest, SendThenFetch) {
  const CycleCase& c = GetParam();
  Configure(CycleItems(std::string(c.mode), (stack_->*c.port)()), "PPWD",
            stack_->password("bob"));

  Outcome send = RunBinary(Check());
  EXPECT_EQ(send.code, 0) << c.name << ": " << send.out << send.err;
  const std::string subject = Stored(vocab::kLastSubject);
  EXPECT_EQ(subject.rfind(c.subject_word, 0), 0u) << c.name << ": " << subject;
  EXPECT_EQ(send.FirstLine(), std::string(vocab::kSendOk) + subject + ")") << c.name;
  EXPECT_EQ(Stored(vocab::kNextPhase), c.mode == vocab::kModeSmtpPop3 ? "POP3" : "IMAP4")
      << c.name;
  ASSERT_TRUE(stack_->WaitForMessages("bob", 1, kArrival)) << c.name;

  Outcome fetch = RunBinary(Check());
  EXPECT_EQ(fetch.code, 0) << c.name << ": " << fetch.out << fetch.err;
  EXPECT_EQ(fetch.FirstLine(), vocab::kFetchOk) << c.name;
  EXPECT_EQ(Stored(vocab::kNextPhase), vocab::kPhaseSend) << c.name;
  EXPECT_EQ(Stored(vocab::kLastSubject), "") << c.name;
  EXPECT_TRUE(stack_->ListMessages("bob").empty()) << c.name;
}

// Only-delete on: a foreign message in the mailbox survives the fetch, the
// control mail does not.
TEST_P(CliCycleTest, OnlyDeleteKeepsForeignMessage) {
  const CycleCase& c = GetParam();
  const std::string foreign = "From: " + stack_->address("carol") + "\r\nTo: " +
                              stack_->address("bob") +
                              "\r\nSubject: quarterly figures\r\n\r\nnot a control mail\r\n";
  std::string foreign_path;
  ASSERT_TRUE(stack_->PutMessage("bob", foreign, &foreign_path).ok()) << c.name;
  std::vector<std::string> items = CycleItems(std::string(c.mode), (stack_->*c.port)());
  items.push_back("ODSM=T");
  Configure(items, "PPWD", stack_->password("bob"));

  Outcome send = RunInProcess(Check());
  ASSERT_EQ(send.code, 0) << c.name << ": " << send.out << send.err;
  ASSERT_TRUE(stack_->WaitForMessages("bob", 2, kArrival)) << c.name;
  Outcome fetch = RunInProcess(Check());
  EXPECT_EQ(fetch.code, 0) << c.name << ": " << fetch.out << fetch.err;
  EXPECT_EQ(fetch.FirstLine(), vocab::kFetchOk) << c.name;

  std::vector<testing::MaildirMessage> left = stack_->ReadMessages("bob");
  ASSERT_EQ(left.size(), 1u) << c.name;
  EXPECT_NE(left[0].text.find("Subject: quarterly figures"), std::string::npos) << c.name;
  EXPECT_EQ(left[0].text.find(vocab::kXSenderField), std::string::npos) << c.name;
}

// The header block of a Maildir message: its Date field, its first
// Received field (continuation lines unfolded) and how many Received fields
// it has.
struct HeaderFacts {
  std::string date, top_received;
  int received = 0;
};
HeaderFacts ReadHeaderFacts(const std::string& text) {
  HeaderFacts facts;
  std::istringstream in(text);
  std::string line, *open = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (open != nullptr) *open += " " + line.substr(1);
      continue;
    }
    open = nullptr;
    if (line.rfind("Received:", 0) == 0 && facts.received++ == 0) {
      facts.top_received = line.substr(9);
      open = &facts.top_received;
    } else if (line.rfind("Date:", 0) == 0) {
      facts.date = line.substr(5);
    }
  }
  return facts;
}

// The value of one metric of the performance data ("delivery=3s;..." -> "3").
std::string Metric(const std::string& line, const std::string& label) {
  const size_t bar = line.find(" | ");
  if (bar == std::string::npos) return "";
  const size_t at = line.find(" " + label + "=", bar + 2);
  if (at == std::string::npos) return "";
  const size_t begin = at + label.size() + 2;
  const size_t end = line.find_first_of("s; ", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// A whole cycle with performance data: the fetch reports the delivery time
// and hops that the control mail's own headers, as they arrived in the
// Maildir, give; a send reports its time and its one attempt.
TEST_P(CliCycleTest, DeliveryAndHopsAgreeWithTheHeaders) {
  const CycleCase& c = GetParam();
  Configure(CycleItems(std::string(c.mode), (stack_->*c.port)()), "PPWD",
            stack_->password("bob"));
  std::vector<std::string> args = Check("5");
  args.insert(args.end(), {"--perfdata", "--no-send-wait", "--max-time", "20"});
  Outcome send = RunBinary(args);
  ASSERT_EQ(send.code, 0) << c.name << ": " << send.out << send.err;
  EXPECT_EQ(Metric(send.FirstLine(), "attempts"), "1") << send.out;
  EXPECT_NE(Metric(send.FirstLine(), "time"), "") << send.out;
  ASSERT_TRUE(stack_->WaitForMessages("bob", 1, kArrival)) << c.name;
  const std::vector<testing::MaildirMessage> arrived = stack_->ReadMessages("bob");
  ASSERT_EQ(arrived.size(), 1u) << c.name;
  const HeaderFacts facts = ReadHeaderFacts(arrived[0].text);
  const std::optional<std::int64_t> expected = DeliverySeconds(facts.date, facts.top_received);
  ASSERT_TRUE(expected.has_value()) << arrived[0].text;
  ASSERT_GE(facts.received, 1) << arrived[0].text;

  Outcome fetch = RunBinary(args);
  EXPECT_EQ(fetch.code, 0) << c.name << ": " << fetch.out << fetch.err;
  EXPECT_EQ(fetch.FirstLine().rfind(std::string(vocab::kFetchOk) + " | ", 0), 0u) << fetch.out;
  EXPECT_EQ(Metric(fetch.FirstLine(), "delivery"), std::to_string(*expected)) << fetch.out;
  EXPECT_EQ(Metric(fetch.FirstLine(), "hops"), std::to_string(facts.received)) << fetch.out;
  EXPECT_EQ(Metric(fetch.FirstLine(), "messages"), "1") << fetch.out;
}

// A control mail that took 10 s over two hops (placed in the Maildir as the
// last server delivered it) raises the state past the delivery thresholds:
// exit 1 or 2 with the reason before the performance data. The fetch-only
// mode of the same protocol finds it by its X-Sender.
TEST_P(CliCycleTest, DeliveryThresholdsRaiseTheState) {
  const CycleCase& c = GetParam();
  const bool imap4 = c.mode == vocab::kModeSmtpImap4;
  const std::string mail =
      "Received: from mx.test (mx.test [127.0.0.1])\r\n\tby mail.tessaly.test (Postfix) with"
      " ESMTP id 1F\r\n\tfor <bob@tessaly.test>; Fri, 11 Dec 2026 13:25:19 +0000 (UTC)\r\n"
      "Received: from client.test by mx.test; Fri, 11 Dec 2026 14:25:12 +0100\r\n"
      "From: " + stack_->address("alice") + "\r\nTo: " + stack_->address("bob") +
      "\r\nSubject: TESSALY 1\r\nDate: Fri, 11 Dec 2026 13:25:09 +0000\r\n"
      "X-Sender: TESSALYCom\r\n\r\ncontrol mail\r\n";
  struct Case {
    const char* warning;
    const char* critical;
    int code;
    const char* reason;
  } cases[] = {
      {"5", "30", 1, " (delivery 10 s > 5 s)"},
      {"5", "0", 2, " (delivery 10 s > 0 s)"},
      {"10", "30", 0, ""},
  };
  for (const Case& t : cases) {
    ASSERT_TRUE(stack_->ClearMailbox("bob").ok());
    ASSERT_TRUE(stack_->PutMessage("bob", mail).ok());
    std::vector<std::string> items = CycleItems(imap4 ? "IMAP4" : "POP3", (stack_->*c.port)());
    Configure(items, "PPWD", stack_->password("bob"));
    std::vector<std::string> args = Check("5");
    args.insert(args.end(), {"--perfdata", "--warning", t.warning, "--critical", t.critical});
    Outcome o = RunBinary(args);
    EXPECT_EQ(o.code, t.code) << c.name << ": " << o.out << o.err;
    const std::string head = std::string(vocab::kFetchOk) + t.reason + " | time=";
    EXPECT_EQ(o.FirstLine().rfind(head, 0), 0u) << c.name << ": " << o.out;
    EXPECT_NE(o.FirstLine().find(std::string(" delivery=10s;") + t.warning + ";" + t.critical +
                                 " hops=2;;;0 messages=1;;;0"),
              std::string::npos)
        << c.name << ": " << o.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CliCycleTest,
    ::testing::Values(CycleCase{"SMTP & POP3", vocab::kModeSmtpPop3, vocab::kSubjectWordTessaly,
                                &MailStack::pop3_port},
                      CycleCase{"SMTP & IMAP4", vocab::kModeSmtpImap4,
                                vocab::kSubjectWordTessimo, &MailStack::imap_port}),
    [](const ::testing::TestParamInfo<CycleCase>& param) {
      return param.index == 0 ? "SmtpPop3" : "SmtpImap4";
    });

// Count mode: two messages against a threshold with GT; the text is the
// count operation's, the exit code follows the comparison. DALL empties the
// mailbox but the text still reports what was there.
TEST_F(CliMailTest, CountUpAndDown) {
  struct Case {
    const char* name;
    const char* threshold;
    const char* delete_all;
    int code;
    size_t left;
  } cases[] = {
      {"2 > 1 is down", "1", "F", 2, 2},
      {"2 > 2 is not: up", "2", "F", 0, 2},
      {"up, delete all", "2", "T", 0, 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(stack_->ClearMailbox("carol").ok()) << c.name;
    for (const char* subject : {"one", "two"}) {
      ASSERT_TRUE(stack_->PutMessage("carol", std::string("Subject: ") + subject + "\r\n\r\nx\r\n")
                      .ok())
          << c.name;
    }
    Configure({"OMODE=CPOP", "PSRV=127.0.0.1", "PPORT=" + std::to_string(stack_->pop3_port()),
               "PUSR=carol", "CCMD=GT", std::string("CCNM=") + c.threshold,
               std::string("DALL=") + c.delete_all},
              "PPWD", stack_->password("carol"));
    Outcome o = RunInProcess(Check());
    EXPECT_EQ(o.code, c.code) << c.name << ": " << o.out << o.err;
    EXPECT_EQ(o.FirstLine(), " 2 message(s) in this mailbox (carol)") << c.name;
    EXPECT_EQ(stack_->ListMessages("carol").size(), c.left) << c.name;
  }
}

// A rejected login is down with the protocol's error text (Dovecot's reply
// as description, then the location), never exit 3; the mailbox is not
// touched. The IMAP4 reply starts with the client's command tag, so only its
// prefix and its end are compared.
TEST_F(CliMailTest, WrongPasswordIsDown) {
  ASSERT_TRUE(stack_->PutMessage("bob", "Subject: kept\r\n\r\nx\r\n").ok());
  struct Case {
    const char* name;
    const char* mode;
    int (MailStack::*port)() const;
    const char* prefix;
    const char* rest;  // the whole text after prefix, or its end
    bool exact;
  } cases[] = {
      {"POP3", "POP3", &MailStack::pop3_port, "ERR POP3:",
       "-ERR [AUTH] Authentication failed. (3)", true},
      {"count", "CPOP", &MailStack::pop3_port, "ERR COUNT POP3:",
       "-ERR [AUTH] Authentication failed.", true},
      {"IMAP4", "IMAP4", &MailStack::imap_port, "ERR IMAP4:",
       " NO [AUTHENTICATIONFAILED] Authentication failed. (3)", false},
  };
  for (const Case& c : cases) {
    Configure({std::string("OMODE=") + c.mode, "PSRV=127.0.0.1",
               "PPORT=" + std::to_string((stack_->*c.port)()), "PUSR=bob", "MBOX=INBOX"},
              "PPWD", "not-" + stack_->password("bob"));
    Outcome o = c.mode == std::string("POP3") ? RunBinary(Check()) : RunInProcess(Check());
    EXPECT_EQ(o.code, 2) << c.name << ": " << o.out << o.err;
    const std::string line = o.FirstLine();
    if (c.exact) {
      EXPECT_EQ(line, std::string(c.prefix) + c.rest) << c.name;
    } else {
      const std::string rest = c.rest;
      EXPECT_EQ(line.rfind(c.prefix, 0), 0u) << c.name << ": " << line;
      ASSERT_GE(line.size(), rest.size()) << c.name << ": " << line;
      EXPECT_EQ(line.substr(line.size() - rest.size()), rest) << c.name << ": " << line;
    }
    EXPECT_EQ(stack_->ListMessages("bob").size(), 1u) << c.name;
  }
}

}  // namespace
}  // namespace tessaly
