// Socket-level helpers of the libcurl SMTP component: the greeting probe
// that tells a server waiting for TLS from one that greets in clear, and a
// guard that keeps a write to a closed peer from raising SIGPIPE.
#ifndef TESSALY_MAIL_SMTP_SOCKET_H_
#define TESSALY_MAIL_SMTP_SOCKET_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tessaly {

struct GreetingProbe {
  int fd = -1;          // the connected socket, or -1 when none could be made
  bool spoke = false;   // the server sent something (or closed) within the wait
  std::string error;    // why there is no socket
};

// Resolves host and connects to host:port, trying every address the
// resolver gives in order, all until `deadline`, then waits up to `wait_ms`
// (never past `deadline`) for the server to send its first byte. Nothing is read: the greeting stays in
// the socket for whoever takes the socket over. `on_socket` is called with
// each socket as soon as it exists (so another thread can shut it down to
// end the wait); the caller owns the returned fd and must close it.
GreetingProbe ProbeGreeting(std::string_view host, std::int32_t port,
                            std::chrono::steady_clock::time_point deadline, int wait_ms,
                            const std::function<void(int fd)>& on_socket);

// Runs `body` with SIGPIPE blocked for the calling thread, then consumes a
// SIGPIPE that a write of this thread raised meanwhile and restores the
// thread's signal mask. The process's signal dispositions are never
// changed, so a host that loads the library keeps its own handling.
void RunWithoutSigpipe(const std::function<void()>& body);

}  // namespace tessaly

#endif  // TESSALY_MAIL_SMTP_SOCKET_H_
