#include "support/delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;

// A one-connection server: greets, then answers each line with "+OK".
class LineServer {
 public:
  LineServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    listen(fd_, 1);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int c = accept(fd_, nullptr, nullptr);
      (void)!write(c, "hi\n", 3);
      char b[256];
      ssize_t n;
      while ((n = read(c, b, sizeof b)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
          if (b[i] == '\n') (void)!write(c, "+OK\n", 4);
        }
      }
      close(c);
    });
  }
  ~LineServer() {
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

int Dial(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// Reads until `want` bytes have come.
std::string ReadBytes(int fd, std::size_t want) {
  std::string s;
  char b[256];
  while (s.size() < want) {
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) break;
    s.append(b, static_cast<std::size_t>(n));
  }
  return s;
}

TEST(DelayProxyTest, DelaysEachDirectionAndCountsRoundTrips) {
  LineServer server;
  DelayProxy proxy("127.0.0.1", server.port(), 10ms);
  ASSERT_TRUE(proxy.Start().ok());
  const int fd = Dial(proxy.port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadBytes(fd, 3), "hi\n");
  // Three commands one at a time: three round trips of at least 20 ms.
  for (int i = 0; i < 3; ++i) {
    (void)!write(fd, "A\n", 2);
    EXPECT_EQ(ReadBytes(fd, 4), "+OK\n") << i;
  }
  // Three pipelined commands: one round trip.
  (void)!write(fd, "B\nC\nD\n", 6);
  EXPECT_EQ(ReadBytes(fd, 12), "+OK\n+OK\n+OK\n");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 10ms + 4 * 20ms);
  // The proxy thread counts a chunk just after handing it on, so give it a
  // moment to catch up with what the client has already read.
  for (int i = 0; i < 100 && proxy.bytes_to_client() < 3 + 6 * 4; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(proxy.round_trips(), 4);
  EXPECT_EQ(proxy.bytes_to_client(), 3 + 6 * 4);
  close(fd);
}

}  // namespace
}  // namespace tessaly::testing
