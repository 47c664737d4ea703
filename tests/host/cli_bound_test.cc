// --max-time through the real binary: a call ends within its bound whatever
// the server does, with the last operation's result or "ERR max-time
// reached", and the engine gets a result line before its own time-out.
#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::ScriptServer;
using testing::ServerScript;

struct Outcome {
  int code = -1;
  std::string out;
  std::chrono::steady_clock::duration took{};
};

class CliBoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessaly_cli_bound_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    state_ = dir_ + "/state";
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }

  Outcome Run(const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    testing::ProgramRun run = testing::RunProgram(dir_, TESSALY_CLI_BINARY, args);
    return {run.code, std::move(run.out), std::chrono::steady_clock::now() - start};
  }

  void ConfigurePop3(int port) {
    Outcome o = Run({"set", "--state", state_, "OMODE=POP3", "PSRV=127.0.0.1",
                     "PPORT=" + std::to_string(port), "PRET=3", "PSSL=F"});
    ASSERT_EQ(o.code, 0);
  }

  std::string dir_, state_;
};

// A server that accepts and never answers, four attempts of 5 s each: 20 s
// without a bound, within the bound + 1 s with --max-time 8, and the line is
// the last attempt's own error.
TEST_F(CliBoundTest, SilentServerEndsWithinTheBound) {
  ScriptServer server({ServerScript().StallForever(), ServerScript().StallForever(),
                       ServerScript().StallForever(), ServerScript().StallForever()});
  ASSERT_NE(server.port(), 0);
  ConfigurePop3(server.port());
  Outcome o = Run({"check", "--state", state_, "--timeout", "5", "--max-time", "8",
                   "--perfdata"});
  EXPECT_EQ(o.code, 2) << o.out;
  EXPECT_LE(o.took, seconds(9)) << o.out;
  EXPECT_GE(o.took, seconds(6)) << o.out;  // it did use what the bound left
  EXPECT_EQ(o.out.rfind("ERR POP3:", 0), 0u) << o.out;
  EXPECT_NE(o.out.find(" | time="), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("attempts=2"), std::string::npos) << o.out;
}

// A server that answers each step just within the time-out: the first
// operation still ends at its time-out (5 s, not 12 s), and the retry gets
// the second the bound leaves. The text is that retry's own.
TEST_F(CliBoundTest, SlowServerEndsAtTheTimeoutWithinTheBound) {
  ScriptServer server(ServerScript()
                          .Stall(milliseconds(4000))
                          .Send("+OK ready")
                          .Expect()
                          .Stall(milliseconds(4000))
                          .Send("+OK")
                          .Expect()
                          .Stall(milliseconds(4000)));
  ASSERT_NE(server.port(), 0);
  ConfigurePop3(server.port());
  Outcome o = Run({"check", "--state", state_, "--timeout", "5", "--max-time", "6"});
  EXPECT_EQ(o.code, 2) << o.out;
  EXPECT_EQ(o.out, "ERR POP3:connection timed out after 1 s (3)\n");
  EXPECT_LE(o.took, seconds(7));
  EXPECT_GE(o.took, seconds(6));
}

}  // namespace
}  // namespace tessaly
