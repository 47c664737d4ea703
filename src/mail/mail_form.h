// The real mail operations of one check object: the SMTP send and the POP3
// and IMAP4 retrieval and count operations over their network clients.
#ifndef TESSALY_MAIL_MAIL_FORM_H_
#define TESSALY_MAIL_MAIL_FORM_H_

#include <memory>
#include <string>

#include "env/clock.h"
#include "env/trace.h"
#include "mail/mail_operations.h"

namespace tessaly {

struct MailFormOptions {
  TraceSink* trace = nullptr;  // required; outlives the form
  Clock* clock = nullptr;      // required; outlives the form
  // POSIX: the host's settings file read for the SMTP greeting name; ""
  // means DefaultRegistryPath() ($TESSALY_REGISTRY, else the default under
  // /etc). Windows reads the registry and ignores it.
  std::string registry_file;
};

// A new, unshared set of mail operations with its own components.
std::unique_ptr<MailOperations> NewMailForm(const MailFormOptions& options);

}  // namespace tessaly

#endif  // TESSALY_MAIL_MAIL_FORM_H_
