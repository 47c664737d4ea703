#include "host/cli.h"

#include <sys/stat.h>
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

#include "env/trace.h"
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
    hooks.mail = [mail_text] { return std::make_unique<FakeMail>(mail_text); };
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
    const char* err;   // "" = no message
  } cases[] = {
      {"ok", Kind::kAccepted, false, 0, composed, ""},
      {"closed", Kind::kClosed, false, 0, "#SSRV=old.example#", ""},
      {"failed", Kind::kFailed, false, 3, "#SSRV=old.example#",
       "tessaly: cannot show the dialog: no widgets here\n"},
      {"changed while open", Kind::kAccepted, true, 3, other,
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

}  // namespace
}  // namespace tessaly
