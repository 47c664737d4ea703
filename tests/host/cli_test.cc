#include "host/cli.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "check/param_string.h"
#include "env/base64.h"
#include "dialog/dialog_model.h"
#include "env/trace.h"
#include "mail/retrieve_operations.h"
#include "support/fake_components.h"
#include "support/fake_env.h"

namespace tessaly {
namespace {

// Answers every mail operation with one scripted text.
class FakeMail : public MailOperations {
 public:
  explicit FakeMail(std::string text) : text_(std::move(text)) {}
  std::string SendMessage(const SendArgs&, std::string* subject) override {
    *subject = "TESSALY 1200";
    return text_;
  }
  std::string RetrieveMessages(const RetrieveArgs&) override { return text_; }
  std::string RetrieveMessagesImap4(const RetrieveArgs&) override { return text_; }
  std::string CountMessages(const CountArgs&) override { return text_; }

 private:
  std::string text_;
};

// The real retrieval over fake POP3 and IMAP4 components holding mailbox.
class FakeMailbox : public MailOperations {
 public:
  explicit FakeMailbox(const std::vector<testing::FakeMessage>& mailbox) {
    pop3_.messages = mailbox;
    imap4_.messages = mailbox;
  }
  std::string SendMessage(const SendArgs&, std::string*) override { return "ERR SMTP: unused"; }
  std::string RetrieveMessages(const RetrieveArgs& a) override { return ops_.RetrieveMessages(a); }
  std::string RetrieveMessagesImap4(const RetrieveArgs& a) override {
    return ops_.RetrieveMessagesImap4(a);
  }
  std::string CountMessages(const CountArgs& a) override { return ops_.CountMessages(a); }

 private:
  testing::FakePop3Component pop3_;
  testing::FakeImap4Component imap4_;
  RetrieveOperations ops_{pop3_, imap4_, NullTraceSink()};
};

// A dialog that records what it was filled with and answers with a scripted
// outcome; during lets a test act while the dialog is "open".
class FakePresenter : public DialogPresenter {
 public:
  FakePresenter(DialogOutcome outcome, std::function<void()> during, std::string* shown,
                std::string* timeout)
      : outcome_(std::move(outcome)), during_(std::move(during)), shown_(shown),
        timeout_(timeout) {}
  DialogOutcome Show(std::string_view parameter, std::string_view timeout_text) override {
    *shown_ = parameter;
    *timeout_ = timeout_text;
    if (during_) during_();
    return outcome_;
  }

 private:
  DialogOutcome outcome_;
  std::function<void()> during_;
  std::string* shown_;
  std::string* timeout_;
};

// Removes the display variables for one test and puts them back after.
class NoDisplay {
 public:
  NoDisplay() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
      unsetenv(name);
    }
  }
  ~NoDisplay() {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first) setenv(kNames[i], saved_[i].second.c_str(), 1);
    }
  }
  NoDisplay(const NoDisplay&) = delete;
  NoDisplay& operator=(const NoDisplay&) = delete;

 private:
  static constexpr const char* kNames[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  std::vector<std::pair<bool, std::string>> saved_;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessaly_cli_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    state_ = dir_ + "/state";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  int Run(std::vector<std::string> args, const std::string& mail_text = "OK",
          const std::string& input = "") {
    std::istringstream in(input);
    out_.str("");
    err_.str("");
    CliHooks hooks;
    hooks.mail = mail_ ? mail_ : [mail_text] { return std::make_unique<FakeMail>(mail_text); };
    hooks.trace = &trace_;
    hooks.clock = &clock_;
    hooks.presenter = presenter_;
    return RunCli(std::move(args), in, out_, err_, hooks);
  }
  std::string FirstLine() const {
    std::string s = out_.str();
    return s.substr(0, s.find('\n'));
  }
  std::string File() const {
    std::ifstream f(state_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string dir_, state_;
  std::function<std::unique_ptr<DialogPresenter>()> presenter_;  // empty: the real one
  std::function<std::unique_ptr<MailOperations>()> mail_;  // empty: FakeMail
  std::ostringstream out_, err_;
  CaptureTraceSink trace_;
  testing::FakeClock clock_;
};

TEST_F(CliTest, CheckExitCodeAndFirstLine) {
  struct Case {
    const char* name;
    const char* mail_text;
    int code;
    const char* first_line;  // "" = not compared
  } cases[] = {
      {"pop3 down", "ERR POP3: connection refused", 2, "ERR POP3: connection refused"},
      {"pop3 up", "OK", 0, ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Run({"set", "--state", state_, "OMODE=POP3"}), 0) << c.name;
    EXPECT_EQ(Run({"check", "--state", state_, "--timeout", "3"}, c.mail_text), c.code)
        << c.name << ": " << err_.str();
    if (*c.first_line != 0) {
      EXPECT_EQ(FirstLine(), c.first_line) << c.name;
    }
    EXPECT_FALSE(FirstLine().empty()) << c.name;
  }
}

// A send returns as soon as the mail is accepted with --no-send-wait, and
// waits time-out - 1 s without it; the first line is the result text alone
// unless an engine option asks for more.
TEST_F(CliTest, SendWaitAndEngineOptions) {
  ASSERT_EQ(Run({"set", "--state", state_, "OMODE=SMTP", "SSRV=smtp.test", "SPORT=25"}), 0);
  const auto t0 = clock_.steady;
  EXPECT_EQ(Run({"check", "--state", state_, "--timeout", "30"}, "Message send successfully (a|b)"),
            0);
  EXPECT_EQ(clock_.steady - t0, std::chrono::seconds(29));
  EXPECT_EQ(out_.str(), "Message send successfully (a|b)\n");

  const auto t1 = clock_.steady;
  EXPECT_EQ(Run({"check", "--state", state_, "--timeout", "30", "--no-send-wait", "--perfdata",
                 "--verbose", "--warning", "1", "--critical", "2.5"},
                "Message send successfully (a|b)"),
            0);
  EXPECT_EQ(clock_.steady, t1);
  EXPECT_EQ(out_.str(),
            "Message send successfully (a\\x7cb) | time=0s;;;0 attempts=1;;;0\n"
            "phase: send, 1 attempt, last 0 s\n"
            "server: smtp.test:25\n"
            "subject: TESSALY 1200\n");
}

TEST_F(CliTest, MissingStateFileIsEmptyStringAndWrittenBack0600) {
  // An empty string is a valid (unconfigured) check: it runs, never exit 3.
  EXPECT_NE(Run({"check", "--state", state_, "--timeout", "2"}, "OK"), 3) << err_.str();
  EXPECT_FALSE(FirstLine().empty());
  struct stat st {};
  ASSERT_EQ(stat(state_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(File().empty());
}

TEST_F(CliTest, BadArgumentsExit3WithMessage) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"no command", {}},
      {"unknown command", {"frobnicate"}},
      {"unknown flag", {"show", "--state", "x", "--bogus"}},
      {"missing value", {"check", "--state"}},
      {"no state", {"show"}},
      {"extra argument", {"show", "--state", "x", "extra"}},
      {"timeout zero", {"check", "--state", "x", "--timeout", "0"}},
      {"timeout too big", {"check", "--state", "x", "--timeout", "32768"}},
      {"timeout text", {"check", "--state", "x", "--timeout", "5s"}},
      {"max-time zero", {"check", "--state", "x", "--max-time", "0"}},
      {"max-time text", {"check", "--state", "x", "--max-time", "1m"}},
      {"warning text", {"check", "--state", "x", "--warning", "abc"}},
      {"warning negative", {"check", "--state", "x", "--warning", "-1"}},
      {"critical bare dot", {"check", "--state", "x", "--critical", "1."}},
      {"password on command line", {"set", "--state", "x", "SPWD=secret"}},
      {"hash in value", {"set", "--state", "x", "MBOX=a#b"}},
      {"state key", {"set", "--state", "x", "@@NEXT=POP3"}},
      {"unknown key", {"set", "--state", "x", "NOPE=1"}},
      {"not a password key", {"set", "--state", "x", "--password-stdin", "SSRV"}},
      {"no equals", {"set", "--state", "x", "SSRV"}},
  };
  for (Case& c : cases) {
    for (std::string& a : c.args) {
      if (a == "x") a = state_;
    }
    EXPECT_EQ(Run(c.args), 3) << c.name;
    EXPECT_EQ(err_.str().rfind("tessaly: ", 0), 0u) << c.name << ": " << err_.str();
    EXPECT_EQ(File(), "") << c.name;
  }
}

TEST_F(CliTest, SetShowRoundTripHidesPassword) {
  ASSERT_EQ(Run({"set", "--state", state_, "ssrv=mail.example", "PUSR=a\"b#c",
                 "--password-stdin", "ppwd"},
                "OK", "s3cr#t\r\n"),
            0)
      << err_.str();
  EXPECT_EQ(File().find("s3cr"), std::string::npos);
  ASSERT_EQ(Run({"show", "--state", state_}), 0);
  EXPECT_EQ(out_.str(), "SSRV=mail.example\nPUSR=a\"b#c\nPPWD=****\n");
  EXPECT_EQ(out_.str().find("s3cr"), std::string::npos);
}

TEST_F(CliTest, OAuthSecretsAreSetLikePasswordsAndNeverShown) {
  const std::string secret_file = state_ + ".secret";
  { std::ofstream(secret_file) << "  refresh-XYZ  \n"; }
  ASSERT_EQ(Run({"set", "--state", state_, "PAUTH=XOAUTH2", "PTURL=https://login.example/t",
                 "PCID=app", "--password-stdin", "PCSEC", "--password-file", "PRTK", secret_file},
                "", "client-SECRET\n"),
            0)
      << err_.str();
  const std::string stored = File();
  EXPECT_EQ(GetParameterValue(stored, "PCSEC"), Base64Encode("client-SECRET"));
  EXPECT_EQ(GetParameterValue(stored, "PRTK"), Base64Encode("refresh-XYZ"));
  for (const char* key : {"SCSEC=x", "PRTK=x"}) {
    EXPECT_EQ(Run({"set", "--state", state_, key}), 3) << key;
    EXPECT_NE(err_.str().find("read from stdin or a file"), std::string::npos) << err_.str();
  }
  // A cached access token (written by a check) is hidden as well, and
  // setting a key of that side's OAuth login drops it.
  {
    std::ofstream(state_) << stored.substr(0, stored.size() - 1) << "@@PTOK="
                          << Base64Encode("ACCESS") << "@@#@@PTEXP=9@@#\n";
  }
  ASSERT_EQ(Run({"show", "--state", state_}), 0);
  EXPECT_NE(out_.str().find("PCSEC=****\nPRTK=****\n@@PTOK=****\n@@PTEXP=9@@\n"), std::string::npos)
      << out_.str();
  for (const std::string& secret :
       {std::string("client-SECRET"), Base64Encode("client-SECRET"), Base64Encode("ACCESS")}) {
    EXPECT_EQ(out_.str().find(secret), std::string::npos) << secret;
  }
  ASSERT_EQ(Run({"set", "--state", state_, "SSCP=x"}), 0) << err_.str();
  EXPECT_NE(GetParameterValue(File(), "@@PTOK"), "") << "the other side's set-up";
  ASSERT_EQ(Run({"set", "--state", state_, "PSCP=mail"}), 0) << err_.str();
  EXPECT_EQ(GetParameterValue(File(), "@@PTOK"), "");
  EXPECT_EQ(GetParameterValue(File(), "@@PTEXP"), "");
}

// Without a display configure cannot run: exit 3, one clear line on stderr,
// the state file as it was.
TEST_F(CliTest, ConfigureWithoutDisplayExit3) {
  ASSERT_EQ(Run({"set", "--state", state_, "SSRV=mail.example"}), 0) << err_.str();
  const std::string before = File();
  NoDisplay no_display;
  EXPECT_EQ(Run({"configure", "--state", state_}), 3);
  const std::string err = err_.str();
  EXPECT_EQ(err.rfind("tessaly: cannot show the dialog: no display", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(File(), before);
}

// With DISPLAY naming an X server that is not there, the real binary exits 3
// with one line on stderr; Qt would abort the process on its own.
TEST_F(CliTest, ConfigureWithUnreachableXServerExit3) {
#ifndef TESSALY_HAVE_DIALOG_MODULE
  GTEST_SKIP() << "built without the dialog module";
#endif
  const std::string display = ":99";
  std::ifstream sockets("/proc/net/unix");
  std::stringstream listening;
  listening << sockets.rdbuf();
  if (access("/tmp/.X11-unix/X99", F_OK) == 0 ||
      listening.str().find("/tmp/.X11-unix/X99") != std::string::npos) {
    GTEST_SKIP() << "an X server listens on " << display;
  }
  ASSERT_EQ(Run({"set", "--state", state_, "SSRV=mail.example"}), 0) << err_.str();
  const std::string before = File();
  const std::string out = dir_ + "/out", err = dir_ + "/err";
  const std::string command = "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=" + display +
                              " '" TESSALY_CLI_BINARY "' configure --state '" + state_ +
                              "' >'" + out + "' 2>'" + err + "' </dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 3);  // a Qt abort shows here as 134 from the shell
  std::stringstream err_text, out_text;
  err_text << std::ifstream(err).rdbuf();
  out_text << std::ifstream(out).rdbuf();
  const std::string e = err_text.str();
  EXPECT_EQ(e, "tessaly: cannot show the dialog: cannot connect to the X server of DISPLAY=" +
                   display + " (no X server there, or it refused this user)\n");
  EXPECT_EQ(out_text.str(), "");
  EXPECT_EQ(File(), before);
}

// The dialog's outcomes through an injected presenter: OK stores the
// composed string, closing keeps the file, a failure is exit 3, and a
// string changed by someone else while the dialog was open is kept.
TEST_F(CliTest, ConfigureOutcomes) {
  const std::string composed = "#SSRV=new.example#SPORT=25#OMODE=SMTP#";
  const std::string other = "#SSRV=other.example#";
  using Kind = DialogOutcome::Kind;
  struct Case {
    const char* name;
    Kind kind;
    bool changed_while_open;
    int code;
    std::string file;  // the stored string afterwards
    std::string out;   // STATE stands for the state file's path
    const char* err;   // "" = no message
  } cases[] = {
      {"ok", Kind::kAccepted, false, 0, composed, "configuration saved to STATE\n", ""},
      {"closed", Kind::kClosed, false, 0, "#SSRV=old.example#",
       "dialog closed without OK; STATE unchanged\n", ""},
      {"failed", Kind::kFailed, false, 3, "#SSRV=old.example#", "",
       "tessaly: cannot show the dialog: no widgets here\n"},
      {"changed while open", Kind::kAccepted, true, 3, other, "",
       "tessaly: state file changed while the dialog was open; not saved\n"},
  };
  for (const Case& c : cases) {
    std::remove(state_.c_str());
    ASSERT_EQ(Run({"set", "--state", state_, "SSRV=old.example"}), 0) << c.name;
    const std::string before = File();
    std::string shown, timeout;
    auto during = [&] {
      if (!c.changed_while_open) return;
      std::ofstream(state_, std::ios::trunc) << other << "\n";
    };
    DialogOutcome outcome{c.kind, c.kind == Kind::kAccepted ? composed : "",
                          c.kind == Kind::kFailed ? "no widgets here" : ""};
    presenter_ = [&] {
      return std::make_unique<FakePresenter>(outcome, during, &shown, &timeout);
    };
    EXPECT_EQ(Run({"configure", "--state", state_, "--timeout", "7"}), c.code)
        << c.name << ": " << err_.str();
    EXPECT_EQ(shown + "\n", before) << c.name;
    EXPECT_EQ(timeout, "7") << c.name;
    EXPECT_EQ(File(), c.file + "\n") << c.name;
    std::string out = c.out;
    if (size_t at = out.find("STATE"); at != std::string::npos) out.replace(at, 5, state_);
    EXPECT_EQ(out_.str(), out) << c.name;
    EXPECT_EQ(err_.str(), c.err) << c.name;
  }
}

TEST_F(CliTest, HelpAndVersion) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--help"}, {"help"}, {"help", "set"}, {"check", "--help"},
        {"--version"}}) {
    EXPECT_EQ(Run(args), 0) << args[0];
    EXPECT_FALSE(out_.str().empty()) << args[0];
  }
}


TEST_F(CliTest, SetTrimsValuesAndPasswordsAsTheDialogDoes) {
  const std::string pw_file = dir_ + "/pw";
  std::ofstream(pw_file) << "\t s2 \n";
  ASSERT_EQ(Run({"set", "--state", state_, "SSRV= mail.example\t", "PUSR=\t bob ",
                 "SPORT= 25 ", "MBOX=  INBOX ", "SKWORD= kw ", "--password-stdin", "PPWD",
                 "--password-file", "SPWD", pw_file},
                "OK", "  pw  \r\n"),
            0)
      << err_.str();
  // What the dialog stores for the same typed texts.
  using dialog::ControlId;
  dialog::DialogForm form = dialog::LoadedForm();
  const struct {
    std::string_view key;
    ControlId control;
    std::string typed;
  } fields[] = {
      {vocab::kSmtpServer, ControlId::kTxtSmtpHost, " mail.example\t"},
      {vocab::kMailUser, ControlId::kTxtPop3User, "\t bob "},
      {vocab::kSmtpPort, ControlId::kTxtSmtpPort, " 25 "},
      {vocab::kMailbox, ControlId::kTxtFolder, "  INBOX "},
      {vocab::kMailPassword, ControlId::kTxtPop3Password, "  pw  "},
      {vocab::kSmtpPassword, ControlId::kTxtSmtpPassword, "\t s2 "},
  };
  for (const auto& f : fields) form.at(f.control).text = f.typed;
  const std::string composed = dialog::ComposeParameter(form);
  const std::string stored = File();
  for (const auto& f : fields) {
    EXPECT_EQ(GetParameterValue(stored, f.key), GetParameterValue(composed, f.key)) << f.key;
  }
  EXPECT_EQ(GetParameterValue(stored, vocab::kMailPassword), "cHc=") << "Base64 of \"pw\"";
  EXPECT_EQ(GetParameterValue(stored, vocab::kSubjectKeyword), " kw ") << "not a dialog field";
}

TEST_F(CliTest, ResultLineShowsControlBytesAndIsCut) {
  const std::string x4086(4086, 'x');
  const std::string e_acute = "\xC3\xA9";
  std::string many_e;
  for (int i = 0; i < 10; ++i) many_e += e_acute;
  const struct {
    const char* name;
    std::string text;
    std::string want;
  } cases[] = {
      {"control bytes as in the trace", std::string("ERR POP3: a\x1b[1m\0b\r\nc\x7f", 21),
       "ERR POP3: a\\x1b[1m\\x00b\\r\\nc\\x7f"},
      {"exactly the limit", "ERR " + std::string(kMaxResultLineBytes - 4, 'x'),
       "ERR " + std::string(kMaxResultLineBytes - 4, 'x')},
      {"one byte over", "ERR " + std::string(kMaxResultLineBytes - 3, 'x'),
       "ERR " + std::string(kMaxResultLineBytes - 9, 'x') + "[cut]"},
      {"escape not split", "ERR " + x4086 + std::string(10, '\x01'), "ERR " + x4086 + "[cut]"},
      {"UTF-8 sequence not split", "ERR " + x4086 + many_e, "ERR " + x4086 + "[cut]"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Run({"set", "--state", state_, "OMODE=POP3"}), 0) << c.name;
    EXPECT_EQ(Run({"check", "--state", state_}, c.text), 2) << c.name;
    EXPECT_EQ(FirstLine(), c.want) << c.name;
    EXPECT_LE(FirstLine().size(), kMaxResultLineBytes) << c.name;
  }
}

TEST_F(CliTest, LongHostileSubjectsGiveABoundedVisibleLine) {
  // 300 messages with 65,000-byte subjects holding ESC, NUL and BEL, through
  // the real retrieval over fake components.
  std::vector<testing::FakeMessage> mailbox;
  for (int i = 0; i < 300; ++i) {
    std::string subject = std::string("\x1b[2J\0\a", 6) + std::to_string(i);
    subject.resize(65000, 's');
    mailbox.push_back(testing::Msg(subject, std::nullopt));
  }
  mail_ = [&mailbox] { return std::make_unique<FakeMailbox>(mailbox); };
  std::ofstream(state_) << "#OMODE=TESSALY#PSRV=mail.example#PPORT=110#PUSR=bob#PRET=0"
                           "#@@NEXT=POP3@@#@@SUBJECT=TESSALY 1@@#\n";
  EXPECT_EQ(Run({"check", "--state", state_}), 2) << err_.str();
  const std::string line = FirstLine();
  EXPECT_LE(line.size(), kMaxResultLineBytes);
  EXPECT_EQ(line.rfind("ERR POP3: messages received with wrong subject (\\x1b[2J\\x00\\x070", 0),
            0u)
      << line.substr(0, 80);
  EXPECT_EQ(line.substr(line.size() - 6), "[cut])");
  EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return u < 0x20 || u == 0x7f;
  })) << "no raw control byte";
  EXPECT_EQ(out_.str().size(), line.size() + 1) << "one line";
}

}  // namespace
}  // namespace tessaly
