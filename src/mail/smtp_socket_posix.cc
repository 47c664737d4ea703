#include "mail/smtp_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mail/resolve.h"

namespace tessaly {
namespace {

int MsUntil(std::chrono::steady_clock::time_point t) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        t - std::chrono::steady_clock::now())
                        .count();
  return left <= 0 ? 0 : static_cast<int>(left > 0x7fffffff ? 0x7fffffff : left);
}

// Waits for `events` on fd until `deadline`; the revents, or 0 on time-out.
short WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, MsUntil(deadline));
    if (r > 0) return p.revents;
    if (r == 0 || errno != EINTR) return 0;
  }
}

}  // namespace

GreetingProbe ProbeGreeting(std::string_view host, std::int32_t port,
                            std::chrono::steady_clock::time_point deadline, int wait_ms,
                            const std::function<void(int fd)>& on_socket) {
  GreetingProbe probe;
  std::string name(host);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  // The lookup too ends by the deadline: a resolver that does not answer
  // must not hold the send past its time-out.
  Resolution resolved =
      ResolveBy(name, std::to_string(port), AddressFamily::kAny, deadline);
  if (resolved.timed_out) {
    probe.error = "connection timed out";
    return probe;
  }
  if (resolved.code != 0 || resolved.addresses.empty()) {
    probe.error = std::string("cannot resolve ") + name + ": " + ::gai_strerror(resolved.code);
    return probe;
  }
  probe.error = "connection failed";
  for (const ResolvedAddress& ai : resolved.addresses) {
    if (probe.fd >= 0) break;
    sockaddr_storage address{};
    const socklen_t address_len =
        static_cast<socklen_t>(std::min(ai.address.size(), sizeof address));
    std::memcpy(&address, ai.address.data(), address_len);
    const int fd = ::socket(ai.family, ai.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.protocol);
    if (fd < 0) {
      probe.error = std::string("socket failed: ") + std::strerror(errno);
      continue;
    }
    on_socket(fd);
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), address_len) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        if ((WaitFor(fd, POLLOUT, deadline) & (POLLOUT | POLLERR | POLLHUP)) == 0) {
          err = ETIMEDOUT;
        } else {
          socklen_t len = sizeof err;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
      }
    }
    if (err != 0) {
      probe.error = std::string("connection failed: ") + std::strerror(err);
      ::close(fd);
      on_socket(-1);
      if (err == ETIMEDOUT) break;  // the deadline has passed: no other address
      continue;
    }
    probe.fd = fd;
    probe.error.clear();
  }
  if (probe.fd < 0) return probe;
  const auto wait_end = std::min(deadline, std::chrono::steady_clock::now() +
                                               std::chrono::milliseconds(wait_ms));
  // Data, an orderly close and a reset all mean the server did not wait
  // for a TLS ClientHello.
  probe.spoke = WaitFor(probe.fd, POLLIN, wait_end) != 0;
  return probe;
}

void RunWithoutSigpipe(const std::function<void()>& body) {
  // Restores the mask also when body throws.
  struct Guard {
    Guard() {
      sigemptyset(&pipe_only);
      sigaddset(&pipe_only, SIGPIPE);
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      // A SIGPIPE already pending belongs to someone else: leave it alone
      // and do not consume it in place of one of ours.
      blocked = sigismember(&pending, SIGPIPE) != 1 &&
                ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask) == 0;
    }
    ~Guard() {
      if (!blocked) return;
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{};
        while (::sigtimedwait(&pipe_only, nullptr, &zero) == -1 && errno == EINTR) {
        }
      }
      ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    }
    sigset_t pipe_only, old_mask;
    bool blocked = false;
  } guard;
  body();
}

}  // namespace tessaly
