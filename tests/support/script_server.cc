#include "support/script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tessaly::testing {
namespace {

using std::chrono::milliseconds;

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(s[i]);
    unsigned char b = static_cast<unsigned char>(prefix[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  if (e == 0) return "unknown TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

// One server TLS context for the process, with an EC P-256 key and a
// self-signed certificate made in memory (fast, no files). nullptr and
// *error set when OpenSSL fails.
SSL_CTX* ServerTlsContext(std::string* error) {
  static std::once_flag once;
  static SSL_CTX* ctx = nullptr;
  static std::string failure;
  std::call_once(once, [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    X509_NAME* name = nullptr;
    bool ok = key != nullptr && cert != nullptr && c != nullptr &&
              X509_set_version(cert, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365) != nullptr &&
              X509_set_pubkey(cert, key) == 1 && (name = X509_get_subject_name(cert)) != nullptr &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("localhost"),
                                         -1, -1, 0) == 1 &&
              X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0 &&
              SSL_CTX_use_certificate(c, cert) == 1 && SSL_CTX_use_PrivateKey(c, key) == 1;
    if (ok) {
      ctx = c;
    } else {
      failure = "TLS context: " + OpenSslError();
      SSL_CTX_free(c);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
  });
  if (ctx == nullptr) *error = failure;
  return ctx;
}

}  // namespace

// ---- ServerScript -------------------------------------------------------

ServerScript& ServerScript::Send(const std::string& line) {
  steps_.push_back({Op::kSend, line + "\r\n", {}});
  return *this;
}
ServerScript& ServerScript::SendRaw(const std::string& bytes) {
  steps_.push_back({Op::kSend, bytes, {}});
  return *this;
}
ServerScript& ServerScript::Trickle(const std::string& bytes, milliseconds every) {
  steps_.push_back({Op::kTrickle, bytes, every});
  return *this;
}
ServerScript& ServerScript::Expect(const std::string& prefix) {
  steps_.push_back({Op::kExpect, prefix, {}});
  return *this;
}
ServerScript& ServerScript::ExpectUntil(const std::string& terminator) {
  steps_.push_back({Op::kExpectUntil, terminator, {}});
  return *this;
}
ServerScript& ServerScript::RecordUntilClose() {
  steps_.push_back({Op::kRecordUntilClose, "", {}});
  return *this;
}
ServerScript& ServerScript::Stall(milliseconds d) {
  steps_.push_back({Op::kStall, "", d});
  return *this;
}
ServerScript& ServerScript::StallForever() {
  steps_.push_back({Op::kStallForever, "", {}});
  return *this;
}
ServerScript& ServerScript::Drop() {
  steps_.push_back({Op::kDrop, "", {}});
  return *this;
}
ServerScript& ServerScript::Close() {
  steps_.push_back({Op::kClose, "", {}});
  return *this;
}
ServerScript& ServerScript::Serve(Responder responder, milliseconds idle) {
  steps_.push_back({Op::kServe, "", idle, std::move(responder)});
  return *this;
}
ServerScript& ServerScript::StartTls() {
  steps_.push_back({Op::kStartTls, "", {}});
  return *this;
}

// ---- Connection: non-blocking socket I/O, every wait ends on wake -------

class ScriptServer::Connection {
 public:
  enum class Io { kOk, kClosed, kStopped, kError };

  Connection(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {}
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }

  // Waits for `events` on the socket; kStopped when the server is being
  // destroyed, kClosed on time-out (timeout_ms < 0: no time-out).
  Io Wait(short events, int timeout_ms) {
    pollfd fds[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
      int n = ::poll(fds, 2, timeout_ms);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Io::kError;
      if (fds[1].revents != 0) return Io::kStopped;
      if (n == 0) return Io::kClosed;
      return Io::kOk;
    }
  }

  // Sleeps `d` unless the server is destroyed first.
  Io Stall(int timeout_ms) {
    pollfd wake = {wake_fd_, POLLIN, 0};
    for (;;) {
      int n = ::poll(&wake, 1, timeout_ms);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? Io::kStopped : Io::kOk;
    }
  }

  Io Write(const std::string& bytes, std::string* error) {
    size_t done = 0;
    while (done < bytes.size()) {
      const char* p = bytes.data() + done;
      size_t left = bytes.size() - done;
      if (ssl_ != nullptr) {
        size_t written = 0;
        int r = SSL_write_ex(ssl_, p, left, &written);
        if (r == 1) {
          done += written;
          continue;
        }
        Io io = WaitTls(r, error);
        if (io != Io::kOk) return io;
        continue;
      }
      ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
      if (n >= 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Io io = Wait(POLLOUT, -1);
        if (io != Io::kOk) return io;
        continue;
      }
      *error = std::string("send: ") + std::strerror(errno);
      return Io::kError;
    }
    return Io::kOk;
  }

  // Reads one LF-terminated line into *line without its CRLF or LF.
  // A final line without LF before the close is returned as a line.
  Io ReadLine(std::string* line, std::string* error) {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        size_t end = (lf > 0 && buffer_[lf - 1] == '\r') ? lf - 1 : lf;
        *line = buffer_.substr(0, end);
        buffer_.erase(0, lf + 1);
        return Io::kOk;
      }
      char chunk[16384];
      size_t got = 0;
      if (ssl_ != nullptr) {
        int r = SSL_read_ex(ssl_, chunk, sizeof chunk, &got);
        if (r != 1) {
          int e = SSL_get_error(ssl_, r);
          if (e == SSL_ERROR_ZERO_RETURN) return TakeRest(line);
          Io io = WaitTls(r, error);
          if (io == Io::kClosed) return TakeRest(line);
          if (io != Io::kOk) return io;
          continue;
        }
      } else {
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n == 0) return TakeRest(line);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) {
            Io io = Wait(POLLIN, -1);
            if (io != Io::kOk) return io;
            continue;
          }
          if (errno == ECONNRESET) return TakeRest(line);
          *error = std::string("recv: ") + std::strerror(errno);
          return Io::kError;
        }
        got = static_cast<size_t>(n);
      }
      buffer_.append(chunk, got);
    }
  }

  Io StartTls(SSL_CTX* ctx, std::string* error) {
    ssl_ = SSL_new(ctx);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) {
      *error = "TLS setup: " + OpenSslError();
      return Io::kError;
    }
    // Bytes the client sent before the handshake would be lost to TLS.
    buffer_.clear();
    for (;;) {
      int r = SSL_accept(ssl_);
      if (r == 1) return Io::kOk;
      Io io = WaitTls(r, error);
      if (io == Io::kClosed) {
        *error = "TLS handshake: client closed the connection";
        return Io::kError;
      }
      if (io != Io::kOk) return io;
    }
  }

  // Whether received bytes wait in the buffer or inside OpenSSL.
  bool HasBuffered() const {
    return !buffer_.empty() || (ssl_ != nullptr && SSL_pending(ssl_) > 0);
  }

  void Close() {
    if (ssl_ != nullptr) {
      SSL_shutdown(ssl_);  // one close_notify; not waiting for the answer
    }
    ::shutdown(fd_, SHUT_WR);
  }

  void Abort() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (ssl_ != nullptr) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
    ::close(fd_);
    fd_ = -1;
  }

 private:
  // After an SSL call returned r != 1: waits for what OpenSSL needs.
  Io WaitTls(int r, std::string* error) {
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) return Wait(POLLIN, -1);
    if (e == SSL_ERROR_WANT_WRITE) return Wait(POLLOUT, -1);
    if (e == SSL_ERROR_ZERO_RETURN ||
        (e == SSL_ERROR_SYSCALL && (errno == 0 || errno == ECONNRESET || errno == EPIPE))) {
      ERR_clear_error();
      return Io::kClosed;
    }
    *error = "TLS: " + OpenSslError();
    return Io::kError;
  }

  Io TakeRest(std::string* line) {
    if (buffer_.empty()) return Io::kClosed;
    *line = std::move(buffer_);
    buffer_.clear();
    return Io::kOk;
  }

  int fd_;
  int wake_fd_;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};

// ---- ScriptServer -------------------------------------------------------

ScriptServer::ScriptServer(ServerScript script, const std::string& host, int receive_buffer)
    : ScriptServer(std::vector<ServerScript>{std::move(script)}, host, receive_buffer) {}

ScriptServer::ScriptServer(std::vector<ServerScript> scripts, const std::string& host,
                           int receive_buffer)
    : scripts_(std::move(scripts)), host_(host) {
  done_ = scripts_.empty();
  if (::pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    Fail(std::string("pipe: ") + std::strerror(errno));
    done_ = true;
    return;
  }
  const bool v6 = host_.find(':') != std::string::npos;
  listen_fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_storage addr{};
  socklen_t len = 0;
  int parsed = 0;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    parsed = ::inet_pton(AF_INET6, host_.c_str(), &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    parsed = ::inet_pton(AF_INET, host_.c_str(), &a->sin_addr);
    len = sizeof *a;
  }
  // Set before listen(): accepted sockets inherit it, window scaling included.
  if (listen_fd_ >= 0 && receive_buffer > 0) {
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  if (listen_fd_ < 0 || parsed != 1 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    Fail("listen on " + host_ + ": " + std::strerror(errno));
    done_ = true;
    return;
  }
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  thread_ = std::thread([this] {
    // OpenSSL writes to a client that has gone raise SIGPIPE, which would
    // end the test process: blocked on this thread, one stays pending here
    // and is dropped with the thread.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Serve();
  });
}

ScriptServer::~ScriptServer() {
  if (wake_fds_[1] >= 0) {
    char c = 'x';
    while (::write(wake_fds_[1], &c, 1) < 0 && errno == EINTR) {
    }
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  for (int fd : wake_fds_) {
    if (fd >= 0) ::close(fd);
  }
}

std::string ScriptServer::HostPort() const {
  bool v6 = host_.find(':') != std::string::npos;
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void ScriptServer::Serve() {
  for (size_t index = 0;; ++index) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) {
      --index;
      continue;
    }
    if (n < 0 || fds[1].revents != 0) break;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      --index;
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      transcripts_.emplace_back();
    }
    if (index >= scripts_.size()) {
      ::close(fd);  // no script left for this connection
      continue;
    }
    RunScript(index, fd);
    if (index + 1 == scripts_.size()) {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
      done_cv_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  done_cv_.notify_all();
}

void ScriptServer::RunScript(size_t index, int fd) {
  using Io = Connection::Io;
  using Op = ServerScript::Op;
  Connection conn(fd, wake_fds_[0]);
  const std::string where = "connection " + std::to_string(index) + ", step ";
  const auto& steps = scripts_[index].steps();
  for (size_t s = 0; s < steps.size(); ++s) {
    const ServerScript::Step& step = steps[s];
    std::string error, line;
    Io io = Io::kOk;
    switch (step.op) {
      case Op::kSend:
        io = conn.Write(step.text, &error);
        break;
      case Op::kTrickle:
        for (char c : step.text) {
          io = conn.Stall(static_cast<int>(step.duration.count()));
          if (io == Io::kOk) io = conn.Write(std::string(1, c), &error);
          if (io != Io::kOk) break;
        }
        break;
      case Op::kExpect:
        io = conn.ReadLine(&line, &error);
        if (io == Io::kOk) {
          if (!StartsWithNoCase(line, step.text)) {
            Fail(where + std::to_string(s) + ": expected \"" + step.text + "\", got \"" +
                 line.substr(0, 200) + "\"");
          }
          Record(index, std::move(line));
        }
        break;
      case Op::kExpectUntil:
        while ((io = conn.ReadLine(&line, &error)) == Io::kOk) {
          bool last = line == step.text;
          Record(index, std::move(line));
          if (last) break;
        }
        break;
      case Op::kRecordUntilClose:
        while ((io = conn.ReadLine(&line, &error)) == Io::kOk) Record(index, std::move(line));
        if (io == Io::kClosed) return;
        break;
      case Op::kStall:
        io = conn.Stall(static_cast<int>(step.duration.count()));
        break;
      case Op::kStallForever:
        io = conn.Stall(-1);
        break;
      case Op::kDrop:
        conn.Abort();
        return;
      case Op::kClose:
        conn.Close();
        return;
      case Op::kServe:
        for (;;) {
          if (step.duration.count() > 0 && !conn.HasBuffered()) {
            io = conn.Wait(POLLIN, static_cast<int>(step.duration.count()));
            if (io == Io::kClosed) {  // idle: the client waits for nothing more
              conn.Close();
              return;
            }
            if (io != Io::kOk) break;
          }
          io = conn.ReadLine(&line, &error);
          if (io == Io::kClosed) return;
          if (io != Io::kOk) break;
          std::string reply = step.responder(line);
          Record(index, std::move(line));
          if (!reply.empty() && (io = conn.Write(reply, &error)) != Io::kOk) break;
        }
        break;
      case Op::kStartTls: {
        SSL_CTX* ctx = ServerTlsContext(&error);
        io = ctx == nullptr ? Io::kError : conn.StartTls(ctx, &error);
        break;
      }
    }
    if (io == Io::kStopped) return;
    if (io == Io::kClosed) {
      Fail(where + std::to_string(s) + ": client closed the connection");
      return;
    }
    if (io == Io::kError) {
      Fail(where + std::to_string(s) + ": " + error);
      return;
    }
  }
  conn.Close();
}

void ScriptServer::Record(size_t connection, std::string line) {
  std::lock_guard<std::mutex> lock(mu_);
  transcripts_[connection].push_back(std::move(line));
}

void ScriptServer::Fail(std::string error) {
  std::lock_guard<std::mutex> lock(mu_);
  errors_.push_back(std::move(error));
}

std::vector<std::string> ScriptServer::Transcript() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> all;
  for (const auto& t : transcripts_) all.insert(all.end(), t.begin(), t.end());
  return all;
}

std::vector<std::string> ScriptServer::Transcript(size_t connection) const {
  std::lock_guard<std::mutex> lock(mu_);
  return connection < transcripts_.size() ? transcripts_[connection]
                                          : std::vector<std::string>{};
}

std::vector<std::string> ScriptServer::Errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

size_t ScriptServer::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transcripts_.size();
}

bool ScriptServer::WaitDone(milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return done_cv_.wait_for(lock, timeout, [this] { return done_; });
}

ScriptRun RunScript(ServerScript script, const std::function<std::string(int port)>& call) {
  ScriptServer server(std::move(script));
  ScriptRun run;
  const auto start = std::chrono::steady_clock::now();
  run.result = call(server.port());
  run.took = std::chrono::steady_clock::now() - start;
  run.done = server.WaitDone(std::chrono::seconds(5));
  run.transcript = server.Transcript();
  run.errors = server.Errors();
  return run;
}

std::string LongLine(size_t n, char fill) { return std::string(n, fill); }

std::string EightBitBytes() {
  std::string bytes;
  for (int b = 0x80; b <= 0xFF; ++b) bytes.push_back(static_cast<char>(b));
  return bytes;
}

}  // namespace tessaly::testing
