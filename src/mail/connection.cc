#include "mail/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace tessaly {
namespace {

Status TransportError(std::string message) {
  return Status::Error(std::move(message), kErrorTransport);
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TimeoutText(int seconds) {
  return "connection timed out after " + std::to_string(seconds) + " s";
}

std::string SslErrorText() {
  unsigned long e = ERR_get_error();  // NOLINT(runtime/int): OpenSSL type
  ERR_clear_error();
  if (e == 0) return "TLS failure";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when
// the peer has gone and would end the process (the host's too, when it
// loads the library). This one sends with MSG_NOSIGNAL, so such a write
// fails with EPIPE and becomes an error text; the process's signal
// handling is never touched. Reads and the EOF flag behave as the socket
// BIO's, so OpenSSL words a close by the peer the same way.
int BioFd(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::send(BioFd(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int BioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t n = ::recv(BioFd(bio), data, static_cast<std::size_t>(size), 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long BioCtrl(BIO* bio, int command, long, void*) {  // NOLINT(runtime/int): OpenSSL type
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

// The method is made once and kept for the life of the process.
const BIO_METHOD* NoSignalSocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket, no SIGPIPE");
    if (m != nullptr && (BIO_meth_set_write(m, BioWrite) != 1 ||
                         BIO_meth_set_read(m, BioRead) != 1 ||
                         BIO_meth_set_ctrl(m, BioCtrl) != 1)) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

// A BIO over fd (not owned) that never raises SIGPIPE; nullptr on failure.
BIO* NewNoSignalSocketBio(int fd) {
  const BIO_METHOD* method = NoSignalSocketMethod();
  if (method == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  BIO_set_init(bio, 1);
  return bio;
}

// The events of the connection whose handshake is running, for the verify
// callback. Set only during SSL_connect on the owner's thread.
thread_local ComponentEvents* handshake_events = nullptr;
thread_local bool handshake_refused = false;
thread_local int handshake_asked = 0;  // 0 not yet, 1 accepted, 2 refused

int VerifyCallback(int /*preverify_ok*/, X509_STORE_CTX* store) {
  // The chain is not judged here: the caller decides on the peer's own
  // certificate (depth 0), which is where the handshake goes on or stops.
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  // OpenSSL calls back once per finding on the same certificate: ask once.
  if (handshake_asked != 0) return handshake_asked == 1 ? 1 : 0;
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  std::string pem;
  if (cert != nullptr) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio != nullptr) {
      PEM_write_bio_X509(bio, cert);
      char* data = nullptr;
      long n = BIO_get_mem_data(bio, &data);  // NOLINT(runtime/int)
      if (n > 0) pem.assign(data, static_cast<std::size_t>(n));
      BIO_free(bio);
    }
  }
  bool accept = false;
  if (handshake_events != nullptr) handshake_events->OnCertificate(pem, &accept);
  if (!accept) handshake_refused = true;
  handshake_asked = accept ? 1 : 2;
  return accept ? 1 : 0;
}

}  // namespace

std::string ReplyText(std::string_view line) {
  std::string out(line.substr(0, kMaxReplyText));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool ParseIpv6Config(std::string_view text, bool* ipv6) {
  if (text == "UseIPv6=True") {
    *ipv6 = true;
    return true;
  }
  if (text == "UseIPv6=False") {
    *ipv6 = false;
    return true;
  }
  return false;
}

Connection::Connection() = default;

Connection::~Connection() { Close(); }

void Connection::SetTimeout(int seconds) {
  timeout_s_ = seconds > 0 ? seconds : kDefaultTimeoutSeconds;
}

void Connection::Close() {
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ssl_ctx_ != nullptr) {
    SSL_CTX_free(ssl_ctx_);
    ssl_ctx_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  in_.clear();
  in_pos_ = 0;
}

Status Connection::Fail(std::string message) {
  Close();
  return TransportError(std::move(message));
}

Status Connection::CheckDeadline() {
  if (NowMs() < deadline_ms_) return Status::Ok();
  return Fail(TimeoutText(timeout_s_));
}

Status Connection::WaitFor(short events, short* revents) {
  for (;;) {
    std::int64_t left = deadline_ms_ - NowMs();
    if (left <= 0) return Fail(TimeoutText(timeout_s_));
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(std::string("poll failed: ") + std::strerror(errno));
    }
    if (r == 0) return Fail(TimeoutText(timeout_s_));
    *revents = p.revents;
    return Status::Ok();
  }
}

Status Connection::Open(std::string_view host, std::int32_t port, bool ipv6) {
  Close();
  deadline_ms_ = NowMs() + static_cast<std::int64_t>(timeout_s_) * 1000;
  if (port < 1 || port > 65535) {
    return TransportError("invalid port " + std::to_string(port));
  }
  addrinfo hints{};
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string host_text(host);
  if (!host_text.empty() && host_text.front() == '[' && host_text.back() == ']') {
    host_text = host_text.substr(1, host_text.size() - 2);
  }
  std::string port_text = std::to_string(port);
  int rc = ::getaddrinfo(host_text.c_str(), port_text.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    return TransportError("cannot resolve " + host_text + " for " +
                         (ipv6 ? "IPv6" : "IPv4") + ": " + ::gai_strerror(rc));
  }
  std::string last_error = "connection failed";
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      ai->ai_protocol);
    if (fd < 0) {
      last_error = std::string("socket failed: ") + std::strerror(errno);
      continue;
    }
    fd_ = fd;
    if (send_buffer_ > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_, sizeof send_buffer_);
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last_error = std::string("connection failed: ") + std::strerror(errno);
        Close();
        continue;
      }
      short revents = 0;
      Status s = WaitFor(POLLOUT, &revents);
      if (!s.ok()) {
        ::freeaddrinfo(list);
        return s;
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        last_error = std::string("connection failed: ") + std::strerror(err);
        Close();
        continue;
      }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::freeaddrinfo(list);
    return Status::Ok();
  }
  ::freeaddrinfo(list);
  return TransportError(last_error);
}

Status Connection::StartTls(std::string_view host) {
  if (fd_ < 0) return TransportError("not connected");
  ssl_ctx_ = SSL_CTX_new(TLS_client_method());
  if (ssl_ctx_ == nullptr) return Fail(SslErrorText());
  SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_PEER, VerifyCallback);
  ssl_ = SSL_new(ssl_ctx_);
  if (ssl_ == nullptr) return Fail(SslErrorText());
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO* bio = NewNoSignalSocketBio(fd_);
  if (bio == nullptr) return Fail(SslErrorText());
  SSL_set_bio(ssl_, bio, bio);  // one BIO both ways; ssl_ owns it
  std::string name(host);
  // SNI only for names, not for address literals.
  if (!name.empty() && name.find(':') == std::string::npos &&
      name.find_first_not_of("0123456789.") != std::string::npos) {
    SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(name.c_str()));
  }
  // Bytes the server sent before the handshake would be a protocol fault;
  // they are dropped so they cannot pass as protected data.
  in_.clear();
  in_pos_ = 0;
  handshake_asked = 0;
  handshake_refused = false;
  for (;;) {
    handshake_events = events_;
    ERR_clear_error();
    int r = SSL_connect(ssl_);
    handshake_events = nullptr;
    if (r == 1) break;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      short revents = 0;
      Status s = WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, &revents);
      if (!s.ok()) return s;
      continue;
    }
    if (handshake_refused) return Fail(std::string(kCertificateRefused));
    std::string text = SslErrorText();
    return Fail("TLS handshake failed: " + text);
  }
  if (events_ != nullptr) {
    int bits = 0;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    SSL_CIPHER_get_bits(cipher, &bits);
    std::string text = std::string(SSL_get_version(ssl_)) + ", cipher " +
                       SSL_CIPHER_get_name(cipher) + " (" + std::to_string(bits) +
                       " bits), certificate accepted";
    events_->OnSslStatus(text);
  }
  return Status::Ok();
}

Status Connection::WaitForServer(int wait_ms, bool* spoke) {
  *spoke = false;
  if (fd_ < 0) return TransportError("not connected");
  if (in_pos_ < in_.size() || (ssl_ != nullptr && SSL_pending(ssl_) > 0)) {
    *spoke = true;
    return Status::Ok();
  }
  const std::int64_t end = std::min(deadline_ms_, NowMs() + std::max(wait_ms, 0));
  for (;;) {
    const std::int64_t left = end - NowMs();
    if (left <= 0) return Status::Ok();
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Fail(std::string("poll failed: ") + std::strerror(errno));
    // Data, an orderly close and a reset all mean the server did not wait
    // for the client to speak first.
    *spoke = r > 0;
    return Status::Ok();
  }
}

int Connection::ReadSome(Status* status) {
  char buf[16384];
  if (ssl_ != nullptr) {
    ERR_clear_error();
    int r = SSL_read(ssl_, buf, sizeof buf);
    if (r > 0) {
      in_.append(buf, static_cast<std::size_t>(r));
      return r;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    if (e == SSL_ERROR_ZERO_RETURN ||
        (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
      *status = Fail("connection closed by server");
    } else {
      *status = Fail("TLS read failed: " + SslErrorText());
    }
    return -1;
  }
  ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
  if (r > 0) {
    in_.append(buf, static_cast<std::size_t>(r));
    return static_cast<int>(r);
  }
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  *status = Fail(r == 0 ? std::string("connection closed by server")
                        : std::string("read failed: ") + std::strerror(errno));
  return -1;
}

Status Connection::Fill() {
  if (fd_ < 0) return TransportError("not connected");
  if (in_pos_ > 0 && in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  } else if (in_pos_ > 65536) {
    in_.erase(0, in_pos_);
    in_pos_ = 0;
  }
  for (;;) {
    // Also when data keeps coming: a server that never lets the client
    // wait must not hold it past the deadline either.
    Status late = CheckDeadline();
    if (!late.ok()) return late;
    // Data may already sit decrypted inside OpenSSL.
    if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
      short revents = 0;
      Status s = WaitFor(POLLIN, &revents);
      if (!s.ok()) return s;
    }
    Status status;
    int n = ReadSome(&status);
    if (n < 0) return status;
    if (n > 0) return Status::Ok();
  }
}

int Connection::SendSome(std::string_view data, Status* status) {
  if (ssl_ != nullptr) {
    ERR_clear_error();
    int r = SSL_write(ssl_, data.data(),
                      static_cast<int>(data.size() > 65536 ? 65536 : data.size()));
    if (r > 0) return r;
    const int error = errno;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    // A peer that has gone: OpenSSL reports the failed send (or, once its
    // close_notify was read, the close) with nothing in its error queue.
    if ((e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN) && ERR_peek_error() == 0) {
      *status = Fail(error == EPIPE || error == ECONNRESET || error == 0
                         ? std::string("connection closed by server")
                         : std::string("write failed: ") + std::strerror(error));
    } else {
      *status = Fail("TLS write failed: " + SslErrorText());
    }
    return -1;
  }
  ssize_t n = ::send(fd_, data.data(), data.size() > 65536 ? 65536 : data.size(), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  *status = Fail(errno == EPIPE || errno == ECONNRESET
                     ? std::string("connection closed by server")
                     : std::string("write failed: ") + std::strerror(errno));
  return -1;
}

Status Connection::Write(std::string_view data) {
  if (fd_ < 0) return TransportError("not connected");
  while (!data.empty()) {
    Status late = CheckDeadline();
    if (!late.ok()) return late;
    Status status;
    int n = SendSome(data, &status);
    if (n < 0) return status;
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    short revents = 0;
    Status s = WaitFor(POLLIN | POLLOUT, &revents);
    if (!s.ok()) return s;
    if ((revents & POLLIN) != 0) {
      if (ReadSome(&status) < 0) return status;
    }
  }
  return Status::Ok();
}

Status Connection::WriteSome(std::string_view data, std::size_t* written) {
  *written = 0;
  if (fd_ < 0) return TransportError("not connected");
  while (*written < data.size()) {
    Status status;
    int n = SendSome(data.substr(*written), &status);
    if (n < 0) return status;
    if (n == 0) break;
    *written += static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

Status Connection::ReadLine(std::string* line, bool* truncated) {
  std::size_t unlimited = static_cast<std::size_t>(-1);
  return ReadLineWithin(&unlimited, line, truncated);
}

Status Connection::ReadLineWithin(std::size_t* remaining, std::string* line,
                                  bool* truncated) {
  line->clear();
  if (truncated != nullptr) *truncated = false;
  for (;;) {
    std::size_t avail = in_.size() - in_pos_;
    std::size_t limit = avail < *remaining ? avail : *remaining;
    const char* start = in_.data() + in_pos_;
    const void* lf = std::memchr(start, '\n', limit);
    std::size_t take = lf != nullptr
                           ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1
                           : limit;
    std::size_t room = kMaxLine + 1 - line->size();  // +1 keeps the CR of a CRLF
    if (take > 0) {
      std::size_t keep = take < room ? take : room;
      line->append(start, keep);
      if (keep < take && truncated != nullptr) *truncated = true;
      in_pos_ += take;
      *remaining -= take;
    }
    bool done = lf != nullptr || *remaining == 0;
    if (done) {
      if (!line->empty() && line->back() == '\n') line->pop_back();
      if (!line->empty() && line->back() == '\r') line->pop_back();
      if (line->size() > kMaxLine) {
        line->resize(kMaxLine);
        if (truncated != nullptr) *truncated = true;
      }
      return Status::Ok();
    }
    Status s = Fill();
    if (!s.ok()) return s;
  }
}

Status Connection::TakeUnread(std::string* bytes) {
  bytes->clear();
  if (fd_ < 0) return TransportError("not connected");
  // A close or a reset is left for the next read to report.
  char buf[16384];
  while (in_.size() - in_pos_ < kMaxLine) {
    if (ssl_ == nullptr) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      in_.append(buf, static_cast<std::size_t>(r));
      continue;
    }
    if (SSL_pending(ssl_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
    }
    ERR_clear_error();
    int r = SSL_read(ssl_, buf, sizeof buf);
    if (r <= 0) break;  // no data record yet, or the peer closed
    in_.append(buf, static_cast<std::size_t>(r));
  }
  bytes->assign(in_, in_pos_, std::string::npos);
  in_.clear();
  in_pos_ = 0;
  return Status::Ok();
}

}  // namespace tessaly
