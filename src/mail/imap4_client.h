// The project's own IMAP4rev1 client engine (RFC 3501, STARTTLS) behind
// Imap4Component.
#ifndef TESSALY_MAIL_IMAP4_CLIENT_H_
#define TESSALY_MAIL_IMAP4_CLIENT_H_

#include <cstdint>
#include <memory>

#include "mail/imap4_component.h"

namespace tessaly {

struct Imap4ClientOptions {
  // Where start mode 0 starts TLS from the first byte at once.
  std::int32_t implicit_tls_port = 993;
  // Whether SelectMailbox sends the search that SetSearch set. Off, the
  // client never searches and FetchFound never finds: every fetch is of
  // every message (a benchmark compares the two).
  bool narrow_by_search = true;
  // (Last, so that positional initializers keep their meaning.) Where
  // start mode 0 waits for the greeting in clear and then requires
  // STARTTLS. On any other port it waits GreetingWaitMs (tls_start.h) for
  // the greeting: without one it starts TLS from the first byte on the same
  // connection, with one it requires STARTTLS.
  std::int32_t starttls_port = 143;
};

// A new, unconnected client. Time-out 0 or below means 30 s for one
// operation (Connect to Disconnect).
std::unique_ptr<Imap4Component> NewImap4Client(Imap4ClientOptions options = {});

}  // namespace tessaly

#endif  // TESSALY_MAIL_IMAP4_CLIENT_H_
