// The connection's transport on POSIX: a non-blocking socket, waits through
// poll() bounded by the operation's deadline, and TLS through OpenSSL over a
// socket BIO that never raises SIGPIPE.
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
#include <cstdint>
#include <cstring>
#include <vector>

#include "mail/connection.h"
#include "mail/resolve.h"
#include "mail/transport.h"

namespace tessaly {
namespace {

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


short PollEvents(int events) {
  short bits = 0;
  if ((events & kReadable) != 0) bits = static_cast<short>(bits | POLLIN);
  if ((events & kWritable) != 0) bits = static_cast<short>(bits | POLLOUT);
  return bits;
}

class PosixTransport final : public Transport {
 public:
  ~PosixTransport() override { Close(); }

  Status Connect(const std::string& host, std::int32_t port, bool ipv6,
                 int send_buffer) override;
  Status StartTls(const std::string& host, ComponentEvents* events, std::string* in) override;
  bool IsOpen() const override { return fd_ >= 0; }
  bool IsTls() const override { return ssl_ != nullptr; }
  void Close() override;
  bool HasPending() const override { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }
  int Poll(int events, std::int64_t timeout_ms, int* found, std::string* error) override;
  int ReadSome(std::string* in, Status* status) override;
  int SendSome(std::string_view data, Status* status) override;
  void TakeAvailable(std::string* in, std::size_t limit) override;

 private:
  int fd_ = -1;
  SSL_CTX* ssl_ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

void PosixTransport::Close() {
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
}

int PosixTransport::Poll(int events, std::int64_t timeout_ms, int* found, std::string* error) {
  pollfd p{fd_, PollEvents(events), 0};
  const int r = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(timeout_ms, 1 << 30)));
  if (r < 0) {
    if (errno == EINTR) return 0;
    *error = std::string("poll failed: ") + std::strerror(errno);
    return -1;
  }
  if (r == 0) return 0;
  *found = 0;
  if ((p.revents & POLLIN) != 0) *found |= kReadable;
  if ((p.revents & POLLOUT) != 0) *found |= kWritable;
  if ((p.revents & (POLLERR | POLLNVAL)) != 0) *found |= kFailed;
  return 1;
}

Status PosixTransport::Connect(const std::string& host, std::int32_t port, bool ipv6,
                               int send_buffer) {
  int rc = 0;
  std::vector<ResolvedAddress> addresses;
  Status resolved = Resolve(host, port, ipv6, &rc, &addresses);
  if (!resolved.ok()) return resolved;
  if (rc != 0 || addresses.empty()) {
    return TransportError("cannot resolve " + host + " for " + (ipv6 ? "IPv6" : "IPv4") +
                          ": " + ::gai_strerror(rc));
  }
  std::string last_error = "connection failed";
  for (const ResolvedAddress& ai : addresses) {
    sockaddr_storage address{};
    const socklen_t address_len =
        static_cast<socklen_t>(std::min(ai.address.size(), sizeof address));
    std::memcpy(&address, ai.address.data(), address_len);
    int fd = ::socket(ai.family, ai.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.protocol);
    if (fd < 0) {
      last_error = std::string("socket failed: ") + std::strerror(errno);
      continue;
    }
    fd_ = fd;
    if (send_buffer > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), address_len) != 0) {
      if (errno != EINPROGRESS) {
        last_error = std::string("connection failed: ") + std::strerror(errno);
        Close();
        continue;
      }
      int found = 0;
      Status s = WaitFor(kWritable, &found);
      if (!s.ok()) return s;
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
    return Status::Ok();
  }
  return TransportError(last_error);
}

Status PosixTransport::StartTls(const std::string& host, ComponentEvents* events,
                                std::string* /*in*/) {
  ssl_ctx_ = SSL_CTX_new(TLS_client_method());
  if (ssl_ctx_ == nullptr) return TransportError(SslErrorText());
  SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_PEER, VerifyCallback);
  ssl_ = SSL_new(ssl_ctx_);
  if (ssl_ == nullptr) return TransportError(SslErrorText());
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO* bio = NewNoSignalSocketBio(fd_);
  if (bio == nullptr) return TransportError(SslErrorText());
  SSL_set_bio(ssl_, bio, bio);  // one BIO both ways; ssl_ owns it
  // SNI only for names, not for address literals.
  if (!host.empty() && host.find(':') == std::string::npos &&
      host.find_first_not_of("0123456789.") != std::string::npos) {
    SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(host.c_str()));
  }
  handshake_asked = 0;
  handshake_refused = false;
  for (;;) {
    handshake_events = events;
    ERR_clear_error();
    int r = SSL_connect(ssl_);
    handshake_events = nullptr;
    if (r == 1) break;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      int found = 0;
      Status s = WaitFor(e == SSL_ERROR_WANT_READ ? kReadable : kWritable, &found);
      if (!s.ok()) return s;
      continue;
    }
    if (handshake_refused) return TransportError(std::string(kCertificateRefused));
    std::string text = SslErrorText();
    return TransportError("TLS handshake failed: " + text);
  }
  if (events != nullptr) {
    int bits = 0;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    SSL_CIPHER_get_bits(cipher, &bits);
    std::string text = std::string(SSL_get_version(ssl_)) + ", cipher " +
                       SSL_CIPHER_get_name(cipher) + " (" + std::to_string(bits) +
                       " bits), certificate accepted";
    events->OnSslStatus(text);
  }
  return Status::Ok();
}

int PosixTransport::ReadSome(std::string* in, Status* status) {
  char buf[16384];
  if (ssl_ != nullptr) {
    ERR_clear_error();
    int r = SSL_read(ssl_, buf, sizeof buf);
    if (r > 0) {
      in->append(buf, static_cast<std::size_t>(r));
      return r;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    if (e == SSL_ERROR_ZERO_RETURN ||
        (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
      *status = TransportError("connection closed by server");
    } else {
      *status = TransportError("TLS read failed: " + SslErrorText());
    }
    return -1;
  }
  ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
  if (r > 0) {
    in->append(buf, static_cast<std::size_t>(r));
    return static_cast<int>(r);
  }
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  *status = TransportError(r == 0 ? std::string("connection closed by server")
                                  : std::string("read failed: ") + std::strerror(errno));
  return -1;
}

int PosixTransport::SendSome(std::string_view data, Status* status) {
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
      *status = TransportError(error == EPIPE || error == ECONNRESET || error == 0
                                   ? std::string("connection closed by server")
                                   : std::string("write failed: ") + std::strerror(error));
    } else {
      *status = TransportError("TLS write failed: " + SslErrorText());
    }
    return -1;
  }
  ssize_t n = ::send(fd_, data.data(), data.size() > 65536 ? 65536 : data.size(), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  *status = TransportError(errno == EPIPE || errno == ECONNRESET
                               ? std::string("connection closed by server")
                               : std::string("write failed: ") + std::strerror(errno));
  return -1;
}

void PosixTransport::TakeAvailable(std::string* in, std::size_t limit) {
  char buf[16384];
  while (in->size() < limit) {
    if (ssl_ == nullptr) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      in->append(buf, static_cast<std::size_t>(r));
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
    in->append(buf, static_cast<std::size_t>(r));
  }
}

}  // namespace

std::unique_ptr<Transport> NewTransport() { return std::make_unique<PosixTransport>(); }

}  // namespace tessaly
