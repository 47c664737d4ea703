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

// A sanitizer build of the library cannot be loaded into a plain python3
// (its runtime must come first), so those builds skip the example.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(PythonExampleTest, ClosedPortGivesDownSmtpResult) {
  if (kSanitized) GTEST_SKIP() << "sanitizer build";
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
