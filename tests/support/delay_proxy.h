// A TCP proxy on 127.0.0.1 that delays every byte in each direction by a
// fixed time, so that a round trip through it costs twice that delay, as to
// a hosted mailbox. It runs on one thread of its own (poll plus timed
// queues) and counts what a benchmark needs: round trips (client writes
// that follow a server reply) and the bytes the server sent. Connections are
// served one after another or side by side. Not for production use.
#ifndef TESSALY_TESTS_SUPPORT_DELAY_PROXY_H_
#define TESSALY_TESTS_SUPPORT_DELAY_PROXY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "env/status.h"

namespace tessaly::testing {

class DelayProxy {
 public:
  // Forwards to target_host:target_port (numeric address). Call Start.
  DelayProxy(std::string target_host, int target_port, std::chrono::milliseconds delay);
  // Stops the thread and closes every socket.
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  // Listens on an ephemeral port of 127.0.0.1 and starts the thread.
  Status Start();
  int port() const { return port_; }

  // Number of times the client sent data after the server had sent some
  // since the client's previous send: a round trip the client waited for.
  std::int64_t round_trips() const { return round_trips_.load(); }
  // Bytes delivered from the server to the client.
  std::int64_t bytes_to_client() const { return bytes_to_client_.load(); }
  void ResetCounters();

 private:
  void Run();

  std::string target_host_;
  int target_port_;
  std::chrono::milliseconds delay_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::atomic<std::int64_t> round_trips_{0};
  std::atomic<std::int64_t> bytes_to_client_{0};
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_DELAY_PROXY_H_
