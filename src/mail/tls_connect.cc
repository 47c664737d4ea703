#include "mail/tls_connect.h"

#include <string>

#include "mail/tls_start.h"

namespace tessaly {

Status OpenMailConnection(Connection* conn, std::string_view host, std::int32_t port, bool ipv6,
                          bool automatic_tls, const TlsPorts& ports, TlsStart* start) {
  *start = automatic_tls ? TlsStart::kUpgrade : TlsStart::kNone;
  Status s = conn->Open(host, port, ipv6);
  if (!s.ok() || !automatic_tls || port == ports.starttls) return s;
  if (port == ports.implicit_tls) {
    *start = TlsStart::kFirstByte;
    return conn->StartTls(host);
  }
  const int wait_ms = GreetingWaitMs(conn->timeout_seconds());
  bool spoke = false;
  s = conn->WaitForServer(wait_ms, &spoke);
  if (!s.ok() || spoke) return s;
  *start = TlsStart::kFirstByte;
  s = conn->StartTls(host);
  if (s.ok() || s.message() == kCertificateRefused) return s;
  return Status::Error(NoGreetingNoTlsText(wait_ms) + s.message(), s.code());
}

}  // namespace tessaly
