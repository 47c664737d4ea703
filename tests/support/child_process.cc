#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace tessaly::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

int RunAsChildIf(const char* variable,
                 const std::function<std::string(const std::string&)>& body) {
  const char* argument = std::getenv(variable);
  if (argument == nullptr) return 0;
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const std::string out = body(argument);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  std::_Exit(0);
}

std::optional<std::string> RunChild(const char* variable, const std::string& argument) {
  int out[2];
  if (::pipe(out) != 0) return "pipe failed";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string env = std::string(variable) + "=" + argument;
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(const_cast<char*>(env.c_str()));
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return "spawn failed";
  }
  std::string text;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return std::nullopt;
  return text;
}

ProgramRun RunProgram(const std::string& dir, const std::string& program,
                      const std::vector<std::string>& args, const std::string& input) {
  const std::string in = dir + "/stdin", out = dir + "/stdout", err = dir + "/stderr";
  std::ofstream(in, std::ios::binary) << input;
  std::vector<std::string> words = args;
  words.insert(words.begin(), program);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ProgramRun run;
  if (rc != 0) return run;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.code = WEXITSTATUS(status);
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

}  // namespace tessaly::testing
