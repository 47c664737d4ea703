#include "support/delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace tessaly::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reading stops while this much is queued in one direction, so a slow
// reader cannot make the proxy buffer without bound.
constexpr std::size_t kMaxQueued = 8u << 20;

struct Chunk {
  Clock::time_point due;
  std::string data;
};

// One direction of a connection: bytes read from `from`, written to `to`
// once their delay has passed.
struct Pipe {
  int from = -1;
  int to = -1;
  std::deque<Chunk> queue;
  std::size_t offset = 0;  // written part of queue.front()
  std::size_t queued = 0;
  bool eof = false;        // `from` reached its end
  bool shut = false;       // `to` has been shut down for writing
};

struct Conn {
  Pipe up;    // client -> server
  Pipe down;  // server -> client
  bool server_spoke = false;
  bool dead = false;
};

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int ConnectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return -1;
  int fd = socket(res->ai_family, SOCK_STREAM, 0);
  if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

}  // namespace

DelayProxy::DelayProxy(std::string target_host, int target_port,
                       std::chrono::milliseconds delay)
    : target_host_(std::move(target_host)), target_port_(target_port), delay_(delay) {}

DelayProxy::~DelayProxy() {
  if (thread_.joinable()) {
    char c = 'x';
    (void)!write(wake_fds_[1], &c, 1);
    thread_.join();
  }
  for (int fd : {listen_fd_, wake_fds_[0], wake_fds_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void DelayProxy::ResetCounters() {
  round_trips_ = 0;
  bytes_to_client_ = 0;
}

Status DelayProxy::Start() {
  if (pipe(wake_fds_) != 0) return Status::Error("pipe failed");
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return Status::Error(std::string("proxy listen failed: ") + std::strerror(errno));
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
  return Status::Ok();
}

void DelayProxy::Run() {
  std::vector<std::unique_ptr<Conn>> conns;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    const Clock::time_point now = Clock::now();
    std::vector<pollfd> fds = {{wake_fds_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    std::vector<Pipe*> owners = {nullptr, nullptr};
    std::vector<Conn*> conn_of = {nullptr, nullptr};
    int timeout_ms = -1;
    for (auto& c : conns) {
      for (Pipe* p : {&c->up, &c->down}) {
        if (!p->eof && p->queued < kMaxQueued) {
          fds.push_back({p->from, POLLIN, 0});
          owners.push_back(p);
          conn_of.push_back(c.get());
        }
        if (!p->queue.empty()) {
          const auto wait = std::chrono::ceil<std::chrono::milliseconds>(p->queue.front().due - now);
          if (wait.count() <= 0) {
            fds.push_back({p->to, POLLOUT, 0});
            owners.push_back(p);
            conn_of.push_back(c.get());
            timeout_ms = timeout_ms < 0 ? 1000 : timeout_ms;
          } else if (timeout_ms < 0 || wait.count() < timeout_ms) {
            timeout_ms = static_cast<int>(wait.count());
          }
        }
      }
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) break;
    if ((fds[1].revents & POLLIN) != 0) {
      const int client = accept(listen_fd_, nullptr, nullptr);
      if (client >= 0) {
        const int server = ConnectTo(target_host_, target_port_);
        if (server < 0) {
          close(client);
        } else {
          SetNonBlocking(client);
          SetNonBlocking(server);
          auto c = std::make_unique<Conn>();
          c->up.from = c->down.to = client;
          c->up.to = c->down.from = server;
          conns.push_back(std::move(c));
        }
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      Pipe* p = owners[i];
      if (fds[i].fd == p->from && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = read(p->from, buf.data(), buf.size());
        if (n > 0) {
          // Counted when the client's bytes arrive, so that replies
          // delivered while they wait in the queue do not count.
          if (p == &conn_of[i]->up && conn_of[i]->server_spoke) {
            ++round_trips_;
            conn_of[i]->server_spoke = false;
          }
          p->queue.push_back({Clock::now() + delay_, std::string(buf.data(), static_cast<std::size_t>(n))});
          p->queued += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          p->eof = true;
        }
      }
    }
    // Deliver what is due, counting round trips and bytes.
    const Clock::time_point later = Clock::now();
    for (auto& c : conns) {
      for (Pipe* p : {&c->up, &c->down}) {
        while (!p->queue.empty() && p->queue.front().due <= later) {
          Chunk& front = p->queue.front();
          const ssize_t n = send(p->to, front.data.data() + p->offset,
                                 front.data.size() - p->offset, MSG_NOSIGNAL);
          if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) c->dead = true;
            break;
          }
          if (p == &c->down) {
            bytes_to_client_ += n;
            c->server_spoke = true;
          }
          p->offset += static_cast<std::size_t>(n);
          if (p->offset < front.data.size()) break;
          p->queued -= front.data.size();
          p->offset = 0;
          p->queue.pop_front();
        }
        if (p->eof && p->queue.empty() && !p->shut) {
          shutdown(p->to, SHUT_WR);
          p->shut = true;
        }
      }
      if (c->up.shut && c->down.shut) c->dead = true;
    }
    for (auto it = conns.begin(); it != conns.end();) {
      if ((*it)->dead) {
        close((*it)->up.from);
        close((*it)->up.to);
        it = conns.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : conns) {
    close(c->up.from);
    close(c->up.to);
  }
}

}  // namespace tessaly::testing
