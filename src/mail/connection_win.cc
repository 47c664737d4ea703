// The connection on Windows: Winsock sockets in non-blocking mode, waits
// through select() bounded by the operation's deadline, and TLS 1.2
// through SChannel (implicit or after STARTTLS on the same socket). The
// peer certificate is shown to OnCertificate after the handshake and the
// connection is dropped unless the caller accepts it; certificates are
// never judged by SChannel itself (manual validation), so every certificate
// can be accepted. Winsock raises no SIGPIPE: a send to a peer that has
// gone fails with an error code.
//
// The socket handle lives in fd_ (Windows keeps only the low 32 bits of a
// kernel handle significant, also in 64-bit processes), the SChannel
// credentials in ssl_ctx_ and the security context with its buffers in ssl_.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "mail/connection.h"

// The SChannel credentials of one connection.
struct ssl_ctx_st {
  CredHandle cred{};
};

// The SChannel security context of one connection: raw (encrypted) bytes
// read but not yet decrypted, and the record sizes the context uses.
struct ssl_st {
  CtxtHandle ctx{};
  bool have_ctx = false;
  SecPkgContext_StreamSizes sizes{};
  std::string raw;
};

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

SOCKET ToSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

// The system's text for a Winsock or Win32 error code, one line.
std::string ErrorText(DWORD code) {
  char buffer[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "error";
  return text + " (" + std::to_string(code) + ")";
}

std::string SecurityText(SECURITY_STATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(status));  // NOLINT
  return hex;
}

bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

// mingw's FIONBIO macro converts a large unsigned value to long.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
void SetNonBlocking(SOCKET s) {
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
}
#pragma GCC diagnostic pop

bool IsAddressLiteral(const std::string& host) {
  return host.find(':') != std::string::npos ||
         host.find_first_not_of("0123456789.") == std::string::npos;
}

// The peer certificate as PEM text, "" when none can be read.
std::string PeerCertificatePem(CtxtHandle* ctx) {
  PCCERT_CONTEXT cert = nullptr;
  if (QueryContextAttributesA(ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
      cert == nullptr) {
    return {};
  }
  std::string pem;
  DWORD size = 0;
  if (CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded,
                           CRYPT_STRING_BASE64HEADER, nullptr, &size) &&
      size > 0) {
    pem.resize(size);
    if (CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded,
                             CRYPT_STRING_BASE64HEADER, pem.data(), &size)) {
      pem.resize(size);
      pem.erase(std::remove(pem.begin(), pem.end(), '\r'), pem.end());
    } else {
      pem.clear();
    }
  }
  CertFreeCertificateContext(cert);
  return pem;
}

std::string ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
  return "TLS";
}

// "TLSv1.2, cipher NAME (BITS bits), certificate accepted", as the POSIX
// side reports it; the cipher suite's name when SChannel gives one.
std::string SslStatusText(CtxtHandle* ctx) {
  SecPkgContext_ConnectionInfo info{};
  std::string protocol = "TLS";
  DWORD bits = 0;
  if (QueryContextAttributesA(ctx, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    protocol = ProtocolName(info.dwProtocol);
    bits = info.dwCipherStrength;
  }
  std::string cipher;
  SecPkgContext_CipherInfo suite{};
  suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (QueryContextAttributesW(ctx, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK) {
    for (const WCHAR* p = suite.szCipherSuite; *p != 0 && p < suite.szCipherSuite + SZ_ALG_MAX_SIZE;
         ++p) {
      cipher.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
  }
  if (cipher.empty()) {
    char id[24];
    std::snprintf(id, sizeof id, "ALG_ID 0x%04lx",
                  static_cast<unsigned long>(info.aiCipher));  // NOLINT(runtime/int)
    cipher = id;
  }
  return protocol + ", cipher " + cipher + " (" + std::to_string(bits) +
         " bits), certificate accepted";
}

// Decrypts every complete record in tls->raw and appends the plain text to
// *plain. SEC_E_OK: stopped for want of more bytes (or none left);
// SEC_I_CONTEXT_EXPIRED: the peer closed the session; anything else is a
// failure. Bytes of a record not complete yet stay in tls->raw.
SECURITY_STATUS DecryptRecords(ssl_st* tls, std::string* plain) {
  std::string& raw = tls->raw;
  while (!raw.empty()) {
    SecBuffer buffers[4] = {};
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = raw.data();
    buffers[0].cbBuffer = static_cast<ULONG>(raw.size());
    for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS ss = DecryptMessage(&tls->ctx, &desc, 0, nullptr);
    if (ss == SEC_E_INCOMPLETE_MESSAGE) return SEC_E_OK;
    if (ss != SEC_E_OK) return ss;
    std::size_t extra = 0;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        plain->append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA) {
        extra = b.cbBuffer;
      }
    }
    // The plain text was decrypted in place inside raw: copied first, then
    // only the bytes of the next record are kept.
    raw.erase(0, extra <= raw.size() ? raw.size() - extra : raw.size());
  }
  return SEC_E_OK;
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
    if (ssl_->have_ctx) DeleteSecurityContext(&ssl_->ctx);
    delete ssl_;
    ssl_ = nullptr;
  }
  if (ssl_ctx_ != nullptr) {
    FreeCredentialsHandle(&ssl_ctx_->cred);
    delete ssl_ctx_;
    ssl_ctx_ = nullptr;
  }
  if (fd_ >= 0) {
    closesocket(ToSocket(fd_));
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
  const SOCKET s = ToSocket(fd_);
  for (;;) {
    const std::int64_t left = deadline_ms_ - NowMs();
    if (left <= 0) return Fail(TimeoutText(timeout_s_));
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (events & POLLIN) FD_SET(s, &readable);
    if (events & POLLOUT) FD_SET(s, &writable);
    FD_SET(s, &failed);  // a failed non-blocking connect shows here
    timeval tv{};
    tv.tv_sec = static_cast<long>(left / 1000);            // NOLINT(runtime/int)
    tv.tv_usec = static_cast<long>((left % 1000) * 1000);  // NOLINT(runtime/int)
    const int r = select(0, &readable, &writable, &failed, &tv);
    if (r == SOCKET_ERROR) {
      return Fail("wait failed: " + ErrorText(static_cast<DWORD>(WSAGetLastError())));
    }
    if (r == 0) continue;  // the deadline check above decides
    *revents = 0;
    if (FD_ISSET(s, &readable)) *revents |= POLLIN;
    if (FD_ISSET(s, &writable)) *revents |= POLLOUT;
    if (FD_ISSET(s, &failed)) *revents |= POLLERR;
    return Status::Ok();
  }
}

Status Connection::Open(std::string_view host, std::int32_t port, bool ipv6) {
  Close();
  deadline_ms_ = NowMs() + static_cast<std::int64_t>(timeout_s_) * 1000;
  if (port < 1 || port > 65535) {
    return TransportError("invalid port " + std::to_string(port));
  }
  if (!WinsockReady()) return TransportError("Winsock could not be started");
  std::string host_text(host);
  if (!host_text.empty() && host_text.front() == '[' && host_text.back() == ']') {
    host_text = host_text.substr(1, host_text.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string port_text = std::to_string(port);
  const int rc = getaddrinfo(host_text.c_str(), port_text.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    return TransportError("cannot resolve " + host_text + " for " + (ipv6 ? "IPv6" : "IPv4") +
                          ": " + ErrorText(static_cast<DWORD>(rc)));
  }
  std::string last_error = "connection failed";
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
      last_error = "socket failed: " + ErrorText(static_cast<DWORD>(WSAGetLastError()));
      continue;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    fd_ = static_cast<int>(s);
    SetNonBlocking(s);
    if (send_buffer_ > 0) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer_),
                 sizeof send_buffer_);
    }
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
      const int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        last_error = "connection failed: " + ErrorText(static_cast<DWORD>(err));
        Close();
        continue;
      }
      short revents = 0;
      Status st = WaitFor(POLLOUT, &revents);
      if (!st.ok()) {
        freeaddrinfo(list);
        return st;
      }
      int so_error = 0;
      int len = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
      if (so_error != 0 || (revents & POLLOUT) == 0) {
        last_error = "connection failed: " +
                     ErrorText(static_cast<DWORD>(so_error != 0 ? so_error : WSAECONNREFUSED));
        Close();
        continue;
      }
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    freeaddrinfo(list);
    return Status::Ok();
  }
  freeaddrinfo(list);
  return TransportError(last_error);
}

Status Connection::StartTls(std::string_view host) {
  if (fd_ < 0) return TransportError("not connected");
  const SOCKET s = ToSocket(fd_);
  ssl_ctx_ = new ssl_ctx_st;
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  // TLS 1.2: the version every supported Windows offers in SChannel; the
  // certificate is judged by the caller, not by the system's trust store.
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SECURITY_STATUS ss = AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
      nullptr, &ssl_ctx_->cred, nullptr);
  if (ss != SEC_E_OK) {
    delete ssl_ctx_;
    ssl_ctx_ = nullptr;
    return Fail("TLS credentials failed: " + SecurityText(ss));
  }
  ssl_ = new ssl_st;
  // Bytes the server sent before the handshake would be a protocol fault;
  // they are dropped so they cannot pass as protected data.
  in_.clear();
  in_pos_ = 0;

  std::string name(host);
  char* target = IsAddressLiteral(name) || name.empty() ? nullptr : name.data();
  const ULONG wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                       ISC_REQ_MANUAL_CRED_VALIDATION;
  std::string& raw = ssl_->raw;
  bool first = true;
  for (;;) {
    Status late = CheckDeadline();
    if (!late.ok()) return late;
    SecBuffer in_buffers[2] = {};
    in_buffers[0].BufferType = SECBUFFER_TOKEN;
    in_buffers[0].pvBuffer = raw.data();
    in_buffers[0].cbBuffer = static_cast<ULONG>(raw.size());
    in_buffers[1].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    ss = InitializeSecurityContextA(&ssl_ctx_->cred, first ? nullptr : &ssl_->ctx, target,
                                    wanted, 0, 0, first ? nullptr : &in_desc, 0, &ssl_->ctx,
                                    &out_desc, &attributes, nullptr);
    if (first) ssl_->have_ctx = ss == SEC_I_CONTINUE_NEEDED || ss == SEC_E_OK;
    first = false;
    if (out_buffer.cbBuffer > 0 && out_buffer.pvBuffer != nullptr) {
      const std::string token(static_cast<const char*>(out_buffer.pvBuffer), out_buffer.cbBuffer);
      FreeContextBuffer(out_buffer.pvBuffer);
      std::string_view left = token;
      while (!left.empty()) {
        const int n = send(s, left.data(), static_cast<int>(left.size()), 0);
        if (n > 0) {
          left.remove_prefix(static_cast<std::size_t>(n));
          continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
          return Fail("TLS handshake failed: connection closed by server");
        }
        short revents = 0;
        Status st = WaitFor(POLLOUT, &revents);
        if (!st.ok()) return st;
      }
    }
    if (ss == SEC_E_OK || ss == SEC_I_CONTINUE_NEEDED) {
      // What SChannel did not consume belongs to the next step (or, after
      // the last one, is already application data).
      if (in_buffers[1].BufferType == SECBUFFER_EXTRA && in_buffers[1].cbBuffer > 0 &&
          in_buffers[1].cbBuffer <= raw.size()) {
        raw.erase(0, raw.size() - in_buffers[1].cbBuffer);
      } else {
        raw.clear();
      }
      if (ss == SEC_E_OK) break;
      if (!raw.empty()) continue;
    } else if (ss == SEC_I_INCOMPLETE_CREDENTIALS) {
      continue;  // the server asked for a client certificate: go on without one
    } else if (ss != SEC_E_INCOMPLETE_MESSAGE) {
      return Fail("TLS handshake failed: " + SecurityText(ss));
    }
    // More handshake bytes are needed from the server.
    short revents = 0;
    Status st = WaitFor(POLLIN, &revents);
    if (!st.ok()) return st;
    char buffer[16384];
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n > 0) {
      raw.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
      return Fail("TLS handshake failed: connection closed by server");
    }
  }
  ss = QueryContextAttributesA(&ssl_->ctx, SECPKG_ATTR_STREAM_SIZES, &ssl_->sizes);
  if (ss != SEC_E_OK) return Fail("TLS handshake failed: " + SecurityText(ss));

  bool accept = false;
  if (events_ != nullptr) events_->OnCertificate(PeerCertificatePem(&ssl_->ctx), &accept);
  if (!accept) return Fail(std::string(kCertificateRefused));
  if (events_ != nullptr) events_->OnSslStatus(SslStatusText(&ssl_->ctx));
  // Application data that arrived with the last handshake record.
  if (!ssl_->raw.empty()) {
    Status st;
    if (ReadSome(&st) < 0) return st;
  }
  return Status::Ok();
}

// With TLS, decrypts every complete record in ssl_->raw into in_ first and
// reads the socket only when none is there. Returns the plain bytes added,
// 0 when the socket has nothing (or only part of a record), <0 on failure.
int Connection::ReadSome(Status* status) {
  const SOCKET s = ToSocket(fd_);
  char buffer[16384];
  if (ssl_ == nullptr) {
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n > 0) {
      in_.append(buffer, static_cast<std::size_t>(n));
      return n;
    }
    const int err = n == 0 ? 0 : WSAGetLastError();
    if (n < 0 && err == WSAEWOULDBLOCK) return 0;
    *status = Fail(n == 0 || err == WSAECONNRESET || err == WSAECONNABORTED
                       ? std::string("connection closed by server")
                       : "read failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
  std::size_t added = 0;
  bool read_socket = false;
  for (;;) {
    const std::size_t before = in_.size();
    const SECURITY_STATUS ss = DecryptRecords(ssl_, &in_);
    added += in_.size() - before;
    if (ss == SEC_I_CONTEXT_EXPIRED) {
      if (added > 0) return static_cast<int>(added);
      *status = Fail("connection closed by server");
      return -1;
    }
    if (ss != SEC_E_OK) {
      *status = Fail(ss == SEC_I_RENEGOTIATE ? std::string("TLS read failed: renegotiation refused")
                                             : "TLS read failed: " + SecurityText(ss));
      return -1;
    }
    if (added > 0 || read_socket) return static_cast<int>(added);
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n > 0) {
      ssl_->raw.append(buffer, static_cast<std::size_t>(n));
      read_socket = true;
      continue;
    }
    const int err = n == 0 ? 0 : WSAGetLastError();
    if (n < 0 && err == WSAEWOULDBLOCK) return 0;
    *status = Fail(n == 0 || err == WSAECONNRESET || err == WSAECONNABORTED
                       ? std::string("connection closed by server")
                       : "TLS read failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
}

Status Connection::TakeUnread(std::string* bytes) {
  bytes->clear();
  if (fd_ < 0) return TransportError("not connected");
  // A close or a reset is left for the next read to report.
  const SOCKET s = ToSocket(fd_);
  char buffer[16384];
  while (in_.size() - in_pos_ < kMaxLine) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now{};
    const bool ready = select(0, &readable, nullptr, nullptr, &now) == 1;
    int n = 0;
    if (ready) n = recv(s, buffer, sizeof buffer, 0);
    if (ssl_ == nullptr) {
      if (n <= 0) break;
      in_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n > 0) ssl_->raw.append(buffer, static_cast<std::size_t>(n));
    const SECURITY_STATUS ss = DecryptRecords(ssl_, &in_);
    if (n <= 0 || ss != SEC_E_OK) break;
  }
  bytes->assign(in_, in_pos_, std::string::npos);
  in_.clear();
  in_pos_ = 0;
  return Status::Ok();
}

Status Connection::WaitForServer(int wait_ms, bool* spoke) {
  *spoke = false;
  if (fd_ < 0) return TransportError("not connected");
  if (in_pos_ < in_.size() || (ssl_ != nullptr && !ssl_->raw.empty())) {
    *spoke = true;
    return Status::Ok();
  }
  const SOCKET s = ToSocket(fd_);
  const std::int64_t end = std::min(deadline_ms_, NowMs() + std::max(wait_ms, 0));
  for (;;) {
    const std::int64_t left = end - NowMs();
    if (left <= 0) return Status::Ok();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{};
    tv.tv_sec = static_cast<long>(left / 1000);            // NOLINT(runtime/int)
    tv.tv_usec = static_cast<long>((left % 1000) * 1000);  // NOLINT(runtime/int)
    const int r = select(0, &readable, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) {
      return Fail("wait failed: " + ErrorText(static_cast<DWORD>(WSAGetLastError())));
    }
    if (r == 0) continue;  // the check above decides
    // Data, an orderly close and a reset all mean the server did not wait
    // for the client to speak first.
    *spoke = true;
    return Status::Ok();
  }
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
    Status status;
    const int n = ReadSome(&status);
    if (n < 0) return status;
    if (n > 0) return Status::Ok();
    short revents = 0;
    Status s = WaitFor(POLLIN, &revents);
    if (!s.ok()) return s;
  }
}

// Without TLS: one non-blocking send. With TLS: encrypts one record of at
// most the context's record size and sends all of it before returning (a
// record cannot go out in part), reading meanwhile so that neither side's
// buffers can fill up and stall the other.
int Connection::SendSome(std::string_view data, Status* status) {
  const SOCKET s = ToSocket(fd_);
  if (ssl_ == nullptr) {
    const int n = send(s, data.data(), static_cast<int>(data.size() > 65536 ? 65536 : data.size()),
                       0);
    if (n >= 0) return n;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return 0;
    *status = Fail(err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAESHUTDOWN
                       ? std::string("connection closed by server")
                       : "write failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
  const SecPkgContext_StreamSizes& sizes = ssl_->sizes;
  const std::size_t chunk = std::min<std::size_t>(data.size(), sizes.cbMaximumMessage);
  std::string record(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
  std::memcpy(record.data() + sizes.cbHeader, data.data(), chunk);
  SecBuffer buffers[4] = {};
  buffers[0] = {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
  buffers[1] = {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader};
  buffers[2] = {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
                record.data() + sizes.cbHeader + chunk};
  buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS ss = EncryptMessage(&ssl_->ctx, 0, &desc, 0);
  if (ss != SEC_E_OK) {
    *status = Fail("TLS write failed: " + SecurityText(ss));
    return -1;
  }
  record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
  std::string_view left = record;
  while (!left.empty()) {
    const int n = send(s, left.data(), static_cast<int>(left.size()), 0);
    if (n > 0) {
      left.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      *status = Fail(err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAESHUTDOWN
                         ? std::string("connection closed by server")
                         : "TLS write failed: " + ErrorText(static_cast<DWORD>(err)));
      return -1;
    }
    short revents = 0;
    Status st = WaitFor(POLLIN | POLLOUT, &revents);
    if (!st.ok()) {
      *status = st;
      return -1;
    }
    if ((revents & POLLIN) != 0) {
      char buffer[16384];
      const int r = recv(s, buffer, sizeof buffer, 0);
      if (r > 0) {
        ssl_->raw.append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        *status = Fail("connection closed by server");
        return -1;
      }
    }
  }
  return static_cast<int>(chunk);
}

Status Connection::Write(std::string_view data) {
  if (fd_ < 0) return TransportError("not connected");
  while (!data.empty()) {
    Status late = CheckDeadline();
    if (!late.ok()) return late;
    Status status;
    const int n = SendSome(data, &status);
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
    const int n = SendSome(data.substr(*written), &status);
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
    const std::size_t avail = in_.size() - in_pos_;
    const std::size_t limit = avail < *remaining ? avail : *remaining;
    const char* start = in_.data() + in_pos_;
    const void* lf = std::memchr(start, '\n', limit);
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1
                      : limit;
    const std::size_t room = kMaxLine + 1 - line->size();  // +1 keeps the CR of a CRLF
    if (take > 0) {
      const std::size_t keep = take < room ? take : room;
      line->append(start, keep);
      if (keep < take && truncated != nullptr) *truncated = true;
      in_pos_ += take;
      *remaining -= take;
    }
    const bool done = lf != nullptr || *remaining == 0;
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

}  // namespace tessaly
