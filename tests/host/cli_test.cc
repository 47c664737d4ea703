#include "host/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
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
