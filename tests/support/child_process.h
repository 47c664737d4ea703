// Runs a piece of a test in a freshly started process: this test binary,
// started again with one environment variable naming what to run. A fresh
// process, not a fork: a fork of a threaded test process may deadlock in
// the sanitizer's allocator. The child runs with SIGPIPE at its default
// disposition and no signal blocked, as a host that loads the library may,
// so a write to a closed peer that raised the signal would kill it.
#ifndef TESSALY_TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESSALY_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::testing {

// For a static initializer of the test file:
//   const int kChild = RunAsChildIf("MY_CHILD", [](const std::string& arg) {...});
// In a normal run (variable unset) returns 0 at once. In the child (variable
// set) resets SIGPIPE to its default and clears the signal mask, runs body
// with the variable's value, writes what body returns to stdout and exits
// the process before any test runs.
int RunAsChildIf(const char* variable, const std::function<std::string(const std::string&)>& body);

// Starts this binary with variable=argument added to the environment and
// waits for it. What the child wrote to stdout, or nullopt when it was
// ended by a signal (or could not be started: then the text says so).
std::optional<std::string> RunChild(const char* variable, const std::string& argument);

// What a program run by RunProgram did: its exit code (-1 when it did not
// exit normally or could not be started) and what it wrote.
struct ProgramRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Starts program with args and waits for it. Its stdin reads input, its
// stdout and stderr are written; the three are files named stdin, stdout
// and stderr in dir, kept until the next run there.
ProgramRun RunProgram(const std::string& dir, const std::string& program,
                      const std::vector<std::string>& args, const std::string& input = "");

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_CHILD_PROCESS_H_
