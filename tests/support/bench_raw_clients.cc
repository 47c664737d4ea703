#include "support/bench_raw_clients.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace tessaly::testing {
namespace {

constexpr int kTimeoutMs = 60000;

class RawConn {
 public:
  ~RawConn() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
    fd_ = socket(res->ai_family, SOCK_STREAM, 0);
    const bool ok = fd_ >= 0 && connect(fd_, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    return ok;
  }
  bool Send(const std::string& line) {
    const std::string s = line + "\r\n";
    std::size_t off = 0;
    while (off < s.size()) {
      const ssize_t n = send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Reads until `marker` has arrived; drops everything up to and including
  // it, keeping a leading "\n" so that line-start markers match next time.
  // *line_after gets the rest of the marker's line when asked for.
  bool ReadUntil(std::string_view marker, std::string* line_after = nullptr) {
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = buf_.find(marker, from);
      if (at != std::string::npos) {
        std::size_t end = at + marker.size();
        if (line_after != nullptr) {
          std::size_t eol;
          while ((eol = buf_.find("\r\n", end)) == std::string::npos) {
            if (!Fill()) return false;
          }
          *line_after = buf_.substr(end, eol - end);
          end = eol + 2;
        }
        buf_ = "\n" + buf_.substr(end);
        return true;
      }
      // Keep only what could still hold the start of the marker.
      if (buf_.size() > marker.size()) {
        buf_.erase(0, buf_.size() - marker.size());
      }
      from = 0;
      if (!Fill()) return false;
    }
  }

 private:
  bool Fill() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) <= 0) return false;
    char b[65536];
    const ssize_t n = read(fd_, b, sizeof b);
    if (n <= 0) return false;
    buf_.append(b, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buf_ = "\n";
};

bool Fail(std::string* error, const std::string& what) {
  *error = what;
  return false;
}

}  // namespace

bool RawPop3Fetch(const std::string& host, int port, const std::string& user,
                  const std::string& password, bool whole, std::string* error) {
  RawConn c;
  std::string line;
  if (!c.Open(host, port)) return Fail(error, "connect");
  if (!c.ReadUntil("\n+OK", &line)) return Fail(error, "greeting");
  if (!c.Send("USER " + user) || !c.ReadUntil("\n+OK", &line)) return Fail(error, "USER");
  if (!c.Send("PASS " + password) || !c.ReadUntil("\n+OK", &line)) return Fail(error, "PASS");
  if (!c.Send("STAT") || !c.ReadUntil("\n+OK ", &line)) return Fail(error, "STAT");
  const long count = std::strtol(line.c_str(), nullptr, 10);
  for (long i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    if (!c.Send(whole ? "RETR " + n : "TOP " + n + " 0")) return Fail(error, "send");
    if (!c.ReadUntil("\r\n.\r\n")) return Fail(error, "message " + n);
  }
  if (!c.Send("QUIT") || !c.ReadUntil("\n+OK", &line)) return Fail(error, "QUIT");
  return true;
}

bool RawImap4Fetch(const std::string& host, int port, const std::string& user,
                   const std::string& password, bool whole, std::string* error) {
  RawConn c;
  std::string line;
  if (!c.Open(host, port)) return Fail(error, "connect");
  if (!c.ReadUntil("\n* OK", &line)) return Fail(error, "greeting");
  if (!c.Send("L LOGIN " + user + " " + password) || !c.ReadUntil("\nL OK", &line)) {
    return Fail(error, "LOGIN");
  }
  if (!c.Send("S SELECT INBOX") || !c.ReadUntil("\n* ", &line)) return Fail(error, "SELECT");
  // Untagged lines come before the tagged one; find "* n EXISTS".
  long count = -1;
  for (;;) {
    if (line.find(" EXISTS") != std::string::npos) count = std::strtol(line.c_str(), nullptr, 10);
    if (count >= 0) break;
    if (!c.ReadUntil("\n* ", &line)) return Fail(error, "EXISTS");
  }
  if (!c.ReadUntil("\nS OK", &line)) return Fail(error, "SELECT done");
  for (long i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    const std::string tag = "F" + n;
    const std::string what =
        whole ? " BODY.PEEK[]" : " (BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])";
    if (!c.Send(tag + " FETCH " + n + what)) return Fail(error, "send");
    if (!c.ReadUntil("\n" + tag + " OK", &line)) return Fail(error, "message " + n);
  }
  if (!c.Send("O LOGOUT") || !c.ReadUntil("\nO OK", &line)) return Fail(error, "LOGOUT");
  return true;
}

}  // namespace tessaly::testing
