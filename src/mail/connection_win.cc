// The connection's transport on Windows: Winsock sockets in non-blocking mode, waits
// through select() bounded by the operation's deadline, and TLS 1.2
// through SChannel (implicit or after STARTTLS on the same socket). The
// peer certificate is shown to OnCertificate after the handshake and the
// connection is dropped unless the caller accepts it; certificates are
// never judged by SChannel itself (manual validation), so every certificate
// can be accepted. Winsock raises no SIGPIPE: a send to a peer that has
// gone fails with an error code.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mail/connection.h"
#include "mail/resolve.h"
#include "mail/transport.h"

namespace tessaly {
namespace {

// The SChannel credentials of one connection.
struct TlsCredentials {
  CredHandle cred{};
};

// The SChannel security context of one connection: raw (encrypted) bytes
// read but not yet decrypted, and the record sizes the context uses.
struct TlsSession {
  CtxtHandle ctx{};
  bool have_ctx = false;
  SecPkgContext_StreamSizes sizes{};
  std::string raw;
};

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
SECURITY_STATUS DecryptRecords(TlsSession* tls, std::string* plain) {
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

class WinTransport final : public Transport {
 public:
  ~WinTransport() override { Close(); }

  Status Connect(const std::string& host, std::int32_t port, bool ipv6,
                 int send_buffer) override;
  Status StartTls(const std::string& host, ComponentEvents* events, std::string* in) override;
  bool IsOpen() const override { return socket_ != INVALID_SOCKET; }
  bool IsTls() const override { return tls_ != nullptr; }
  void Close() override;
  bool HasPending() const override { return tls_ != nullptr && !tls_->raw.empty(); }
  int Poll(int events, std::int64_t timeout_ms, int* found, std::string* error) override;
  int ReadSome(std::string* in, Status* status) override;
  int SendSome(std::string_view data, Status* status) override;
  void TakeAvailable(std::string* in, std::size_t limit) override;

 private:
  SOCKET socket_ = INVALID_SOCKET;
  TlsCredentials* credentials_ = nullptr;
  TlsSession* tls_ = nullptr;
};

void WinTransport::Close() {
  if (tls_ != nullptr) {
    if (tls_->have_ctx) DeleteSecurityContext(&tls_->ctx);
    delete tls_;
    tls_ = nullptr;
  }
  if (credentials_ != nullptr) {
    FreeCredentialsHandle(&credentials_->cred);
    delete credentials_;
    credentials_ = nullptr;
  }
  if (socket_ != INVALID_SOCKET) {
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
}

int WinTransport::Poll(int events, std::int64_t timeout_ms, int* found, std::string* error) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (events & kReadable) FD_SET(socket_, &readable);
  if (events & kWritable) FD_SET(socket_, &writable);
  if (events & kFailed) FD_SET(socket_, &failed);  // a failed non-blocking connect shows here
  timeval tv{};
  tv.tv_sec = static_cast<long>(timeout_ms / 1000);            // NOLINT(runtime/int)
  tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);  // NOLINT(runtime/int)
  const int r = select(0, &readable, &writable, &failed, &tv);
  if (r == SOCKET_ERROR) {
    *error = "wait failed: " + ErrorText(static_cast<DWORD>(WSAGetLastError()));
    return -1;
  }
  if (r == 0) return 0;
  *found = 0;
  if (FD_ISSET(socket_, &readable)) *found |= kReadable;
  if (FD_ISSET(socket_, &writable)) *found |= kWritable;
  if (FD_ISSET(socket_, &failed)) *found |= kFailed;
  return 1;
}

Status WinTransport::Connect(const std::string& host, std::int32_t port, bool ipv6,
                             int send_buffer) {
  if (!WinsockReady()) return TransportError("Winsock could not be started");
  int rc = 0;
  std::vector<ResolvedAddress> addresses;
  Status resolved = Resolve(host, port, ipv6, &rc, &addresses);
  if (!resolved.ok()) return resolved;
  if (rc != 0 || addresses.empty()) {
    return TransportError("cannot resolve " + host + " for " + (ipv6 ? "IPv6" : "IPv4") +
                          ": " + ErrorText(static_cast<DWORD>(rc)));
  }
  std::string last_error = "connection failed";
  for (const ResolvedAddress& ai : addresses) {
    sockaddr_storage address{};
    const int address_len = static_cast<int>(std::min(ai.address.size(), sizeof address));
    std::memcpy(&address, ai.address.data(), static_cast<std::size_t>(address_len));
    SOCKET s = socket(ai.family, ai.socktype, ai.protocol);
    if (s == INVALID_SOCKET) {
      last_error = "socket failed: " + ErrorText(static_cast<DWORD>(WSAGetLastError()));
      continue;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    socket_ = s;
    SetNonBlocking(s);
    if (send_buffer > 0) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
                 sizeof send_buffer);
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), address_len) != 0) {
      const int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        last_error = "connection failed: " + ErrorText(static_cast<DWORD>(err));
        Close();
        continue;
      }
      int found = 0;
      Status st = WaitFor(kWritable, &found);
      if (!st.ok()) return st;
      int so_error = 0;
      int len = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
      if (so_error != 0 || (found & kWritable) == 0) {
        last_error = "connection failed: " +
                     ErrorText(static_cast<DWORD>(so_error != 0 ? so_error : WSAECONNREFUSED));
        Close();
        continue;
      }
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return Status::Ok();
  }
  return TransportError(last_error);
}

Status WinTransport::StartTls(const std::string& host, ComponentEvents* events,
                              std::string* in) {
  const SOCKET s = socket_;
  credentials_ = new TlsCredentials;
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  // TLS 1.2: the version every supported Windows offers in SChannel; the
  // certificate is judged by the caller, not by the system's trust store.
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SECURITY_STATUS ss = AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
      nullptr, &credentials_->cred, nullptr);
  if (ss != SEC_E_OK) {
    delete credentials_;
    credentials_ = nullptr;
    return TransportError("TLS credentials failed: " + SecurityText(ss));
  }
  tls_ = new TlsSession;

  std::string name(host);
  char* target = IsAddressLiteral(name) || name.empty() ? nullptr : name.data();
  const ULONG wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                       ISC_REQ_MANUAL_CRED_VALIDATION;
  std::string& raw = tls_->raw;
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
    ss = InitializeSecurityContextA(&credentials_->cred, first ? nullptr : &tls_->ctx, target,
                                    wanted, 0, 0, first ? nullptr : &in_desc, 0, &tls_->ctx,
                                    &out_desc, &attributes, nullptr);
    if (first) tls_->have_ctx = ss == SEC_I_CONTINUE_NEEDED || ss == SEC_E_OK;
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
          return TransportError("TLS handshake failed: connection closed by server");
        }
        int found = 0;
        Status st = WaitFor(kWritable, &found);
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
      return TransportError("TLS handshake failed: " + SecurityText(ss));
    }
    // More handshake bytes are needed from the server.
    int found = 0;
    Status st = WaitFor(kReadable, &found);
    if (!st.ok()) return st;
    char buffer[16384];
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n > 0) {
      raw.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
      return TransportError("TLS handshake failed: connection closed by server");
    }
  }
  ss = QueryContextAttributesA(&tls_->ctx, SECPKG_ATTR_STREAM_SIZES, &tls_->sizes);
  if (ss != SEC_E_OK) return TransportError("TLS handshake failed: " + SecurityText(ss));

  bool accept = false;
  if (events != nullptr) events->OnCertificate(PeerCertificatePem(&tls_->ctx), &accept);
  if (!accept) return TransportError(std::string(kCertificateRefused));
  if (events != nullptr) events->OnSslStatus(SslStatusText(&tls_->ctx));
  // Application data that arrived with the last handshake record.
  if (!tls_->raw.empty()) {
    Status st;
    if (ReadSome(in, &st) < 0) return st;
  }
  return Status::Ok();
}

// With TLS, decrypts every complete record in tls_->raw into *in first and
// reads the socket only when none is there. Returns the plain bytes added,
// 0 when the socket has nothing (or only part of a record), <0 on failure.
int WinTransport::ReadSome(std::string* in, Status* status) {
  char buffer[16384];
  if (tls_ == nullptr) {
    const int n = recv(socket_, buffer, sizeof buffer, 0);
    if (n > 0) {
      in->append(buffer, static_cast<std::size_t>(n));
      return n;
    }
    const int err = n == 0 ? 0 : WSAGetLastError();
    if (n < 0 && err == WSAEWOULDBLOCK) return 0;
    *status = TransportError(n == 0 || err == WSAECONNRESET || err == WSAECONNABORTED
                                 ? std::string("connection closed by server")
                                 : "read failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
  std::size_t added = 0;
  bool read_socket = false;
  for (;;) {
    const std::size_t before = in->size();
    const SECURITY_STATUS ss = DecryptRecords(tls_, in);
    added += in->size() - before;
    if (ss == SEC_I_CONTEXT_EXPIRED) {
      if (added > 0) return static_cast<int>(added);
      *status = TransportError("connection closed by server");
      return -1;
    }
    if (ss != SEC_E_OK) {
      *status = TransportError(ss == SEC_I_RENEGOTIATE
                                   ? std::string("TLS read failed: renegotiation refused")
                                   : "TLS read failed: " + SecurityText(ss));
      return -1;
    }
    if (added > 0 || read_socket) return static_cast<int>(added);
    const int n = recv(socket_, buffer, sizeof buffer, 0);
    if (n > 0) {
      tls_->raw.append(buffer, static_cast<std::size_t>(n));
      read_socket = true;
      continue;
    }
    const int err = n == 0 ? 0 : WSAGetLastError();
    if (n < 0 && err == WSAEWOULDBLOCK) return 0;
    *status = TransportError(n == 0 || err == WSAECONNRESET || err == WSAECONNABORTED
                                 ? std::string("connection closed by server")
                                 : "TLS read failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
}

void WinTransport::TakeAvailable(std::string* in, std::size_t limit) {
  char buffer[16384];
  while (in->size() < limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval now{};
    const bool ready = select(0, &readable, nullptr, nullptr, &now) == 1;
    int n = 0;
    if (ready) n = recv(socket_, buffer, sizeof buffer, 0);
    if (tls_ == nullptr) {
      if (n <= 0) break;
      in->append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n > 0) tls_->raw.append(buffer, static_cast<std::size_t>(n));
    const SECURITY_STATUS ss = DecryptRecords(tls_, in);
    if (n <= 0 || ss != SEC_E_OK) break;
  }
}

// Without TLS: one non-blocking send. With TLS: encrypts one record of at
// most the context's record size and sends all of it before returning (a
// record cannot go out in part), reading meanwhile so that neither side's
// buffers can fill up and stall the other.
int WinTransport::SendSome(std::string_view data, Status* status) {
  const SOCKET s = socket_;
  if (tls_ == nullptr) {
    const int n = send(s, data.data(), static_cast<int>(data.size() > 65536 ? 65536 : data.size()),
                       0);
    if (n >= 0) return n;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return 0;
    *status = TransportError(err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAESHUTDOWN
                                 ? std::string("connection closed by server")
                                 : "write failed: " + ErrorText(static_cast<DWORD>(err)));
    return -1;
  }
  const SecPkgContext_StreamSizes& sizes = tls_->sizes;
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
  const SECURITY_STATUS ss = EncryptMessage(&tls_->ctx, 0, &desc, 0);
  if (ss != SEC_E_OK) {
    *status = TransportError("TLS write failed: " + SecurityText(ss));
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
      *status = TransportError(err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAESHUTDOWN
                                   ? std::string("connection closed by server")
                                   : "TLS write failed: " + ErrorText(static_cast<DWORD>(err)));
      return -1;
    }
    int found = 0;
    Status st = WaitFor(kReadable | kWritable, &found);
    if (!st.ok()) {
      *status = st;
      return -1;
    }
    if ((found & kReadable) != 0) {
      char buffer[16384];
      const int r = recv(s, buffer, sizeof buffer, 0);
      if (r > 0) {
        tls_->raw.append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        *status = TransportError("connection closed by server");
        return -1;
      }
    }
  }
  return static_cast<int>(chunk);
}

}  // namespace

std::unique_ptr<Transport> NewTransport() { return std::make_unique<WinTransport>(); }

}  // namespace tessaly
