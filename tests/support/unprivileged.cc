#include "support/unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tessaly::testing {

bool RunningAsRoot() { return ::geteuid() == 0; }

int RunUnprivileged(const std::function<int()>& body, unsigned timeout_seconds) {
  const bool root = RunningAsRoot();
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::alarm(timeout_seconds);  // a hang ends the child with SIGALRM
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGid) != 0 ||
                 ::setuid(kNobodyUid) != 0)) {
      ::_exit(99);
    }
    ::_exit(body() & 0xFF);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace tessaly::testing
