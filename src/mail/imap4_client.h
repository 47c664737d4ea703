// The project's own IMAP4rev1 client engine (RFC 3501, STARTTLS) behind
// Imap4Component.
#ifndef TESSALY_MAIL_IMAP4_CLIENT_H_
#define TESSALY_MAIL_IMAP4_CLIENT_H_

#include <cstdint>
#include <memory>

#include "mail/imap4_component.h"

namespace tessaly {

struct Imap4ClientOptions {
  // Where start mode 0 uses implicit TLS; STARTTLS is required elsewhere.
  std::int32_t implicit_tls_port = 993;
  // Whether SelectMailbox sends the search that SetSearch set. Off, the
  // client never searches and FetchFound never finds: every fetch is of
  // every message (a benchmark compares the two).
  bool narrow_by_search = true;
};

// A new, unconnected client. Time-out 0 or below means 30 s per step.
std::unique_ptr<Imap4Component> NewImap4Client(Imap4ClientOptions options = {});

}  // namespace tessaly

#endif  // TESSALY_MAIL_IMAP4_CLIENT_H_
