// How the POP3 and IMAP4 clients open their connection and start TLS in the
// automatic start mode.
#ifndef TESSALY_MAIL_TLS_CONNECT_H_
#define TESSALY_MAIL_TLS_CONNECT_H_

#include <cstdint>
#include <string_view>

#include "env/status.h"
#include "mail/connection.h"

namespace tessaly {

// The protocol's well-known ports for automatic TLS.
struct TlsPorts {
  std::int32_t implicit_tls;  // TLS from the first byte at once (995, 993)
  std::int32_t starttls;      // greets in clear, upgrade required (110, 143)
};

// How TLS starts on the connection OpenMailConnection opened.
enum class TlsStart {
  kNone,      // no TLS: start mode plain
  kUpgrade,   // the greeting came in clear: the caller must upgrade
  kFirstByte  // TLS is up from the first byte; the greeting comes over it
};

// Opens conn to host:port. With automatic TLS off, that is all (kNone).
// With it on: on ports.implicit_tls the TLS handshake runs at once; on
// ports.starttls the caller upgrades after the greeting; on any other port
// the client waits GreetingWaitMs of the connection's time-out for the
// server to speak, and a server that stays silent is taken to wait for a
// ClientHello: the handshake runs on the same connection. When that
// handshake fails (other than by a refused certificate: then the server did
// speak TLS), the error text starts with NoGreetingNoTlsText.
// Everything within the connection's deadline.
Status OpenMailConnection(Connection* conn, std::string_view host, std::int32_t port, bool ipv6,
                          bool automatic_tls, const TlsPorts& ports, TlsStart* start);

}  // namespace tessaly

#endif  // TESSALY_MAIL_TLS_CONNECT_H_
