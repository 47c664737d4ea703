// The project's own POP3 client engine (RFC 1939, CAPA of RFC 2449, STLS
// of RFC 2595) behind Pop3Component.
#ifndef TESSALY_MAIL_POP3_CLIENT_H_
#define TESSALY_MAIL_POP3_CLIENT_H_

#include <cstdint>
#include <memory>

#include "mail/pop3_component.h"

namespace tessaly {

struct Pop3ClientOptions {
  // Where start mode 0 starts TLS from the first byte at once.
  std::int32_t implicit_tls_port = 995;
  // Kernel send buffer in bytes; 0 keeps the system's default. A small one
  // makes pipelined commands wait for the socket (tests use that).
  int send_buffer = 0;
  // (Last, so that positional initializers keep their meaning.) Where
  // start mode 0 waits for the greeting in clear and then requires
  // STLS. On any other port it waits GreetingWaitMs (tls_start.h) for the
  // greeting: without one it starts TLS from the first byte on the same
  // connection, with one it requires STLS.
  std::int32_t starttls_port = 110;
};

// A new, unconnected client. Time-out 0 or below means 30 s for one
// operation (Connect to Disconnect).
// Lines longer than 64 KiB are cut (header values then arrive truncated).
std::unique_ptr<Pop3Component> NewPop3Client(Pop3ClientOptions options = {});

}  // namespace tessaly

#endif  // TESSALY_MAIL_POP3_CLIENT_H_
