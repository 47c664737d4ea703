// Runs doc/example.py with python3 against the built libtessaly.so: a send
// to a closed local port must print a down SMTP result and exit 2.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_paths.h"

namespace {

TEST(PythonExampleTest, ClosedPortGivesDownSmtpResult) {
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 not installed";
  }
  const std::string out = tessaly::testing::BinaryDir() + "/python_example_test.out";
  const std::string command = "python3 " + tessaly::testing::SourceDir() + "/doc/example.py " +
                              tessaly::testing::BinaryDir() + "/src/host/libtessaly.so > " +
                              out + " 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << command;
  std::ifstream file(out);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(WEXITSTATUS(status), 2) << text.str();
  EXPECT_EQ(text.str().rfind("ERR SMTP: ", 0), 0u) << text.str();
  std::remove(out.c_str());
}

}  // namespace
