// The sending operation of one send phase: configures a fresh host SMTP
// component, composes the control mail's subject and hands the mail over.
#ifndef TESSALY_MAIL_SEND_OPERATION_H_
#define TESSALY_MAIL_SEND_OPERATION_H_

#include <memory>
#include <string>
#include <string_view>

#include "env/clock.h"
#include "env/os_facts.h"
#include "env/settings_store.h"
#include "env/trace.h"
#include "mail/mail_operations.h"
#include "mail/smtp_component.h"

namespace tessaly {

// The control mail's fixed parts for one operating mode.
struct ControlMail {
  std::string_view subject_word;
  std::string_view header_line;  // "" for none: primaryXHeader stays unset
  std::string_view body;
};

// "TESSALY" and "SMTP" → TESSALY word, X-Sender header and body; "TESSIMO" →
// the TESSIMO row; any other text → TESSALY word and body, no header line.
ControlMail ControlMailFor(std::string_view mode);

// Entry text + subject word + UTC hour, minute, second, millisecond as
// decimal numbers without leading zeros, joined, + local date "yyyymmdd".
std::string ComposeSubject(std::string_view entry, std::string_view word, const WallTime& t);

// Location numbers in the failure text: the step of the operation in which
// the failure arose.
enum SendLocation : int {
  kSendLocServer = 4,       // PrimaryHELO, PrimaryTimeout, PrimaryMailserver,
                            // PrimaryMailPort (also: no component could be made)
  kSendLocCredentials = 5,  // PrimaryUsername, PrimaryPassword
  kSendLocAuth = 6,         // primaryauthentication, alternateauthentication
  kSendLocSender = 7,       // primarymailFrom, primaryUsessl
  kSendLocHeader = 8,       // primaryXHeader
  kSendLocAddMail = 10,     // addmail: the SMTP dialogue itself
};

// Not thread-safe; one per check object. Keeps the component of the last
// send until the next send stops and replaces it; destruction releases it
// without stopping it.
class SendOperation {
 public:
  SendOperation(SmtpComponentFactory& factory, SettingsStore& store, OsFacts& os,
                Clock& clock, TraceSink& trace);

  // Sends the control mail. *subject: on entry the subject's leading text,
  // on return the complete subject sent, or "" after a failure. Returns
  // "Message send successfully (" + subject + ")" or "ERR SMTP: " +
  // description + " (" + location + ")". Never throws.
  std::string SendMessageV2(const SendArgs& args, std::string* subject);

  // What the last send negotiated (TLS protocol, login mechanism).
  const OperationReport& report() const { return report_; }

  // The component of the last send, nullptr before the first; for tests.
  SmtpComponent* current() const { return component_.get(); }

 private:
  SmtpComponentFactory& factory_;
  SettingsStore& store_;
  OsFacts& os_;
  Clock& clock_;
  TraceSink& trace_;
  std::unique_ptr<SmtpComponent> component_;
  OperationReport report_;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_SEND_OPERATION_H_
