#include "mail/mail_form.h"

#include "check/vocab.h"

namespace tessaly {
namespace {

// Until the network clients are linked in, every operation reports that
// the transport is missing, as the failure text of its own protocol.
class UnavailableMailForm : public MailOperations {
 public:
  std::string SendMessage(const SendArgs&, std::string* subject) override {
    subject->clear();
    return std::string(vocab::kSmtpErr) + "mail transport not available in this build";
  }
  std::string RetrieveMessages(const RetrieveArgs&) override {
    return std::string(vocab::kPop3Err) + " mail transport not available in this build";
  }
  std::string RetrieveMessagesImap4(const RetrieveArgs&) override {
    return std::string(vocab::kImap4Err) + " mail transport not available in this build";
  }
  std::string CountMessages(const CountArgs&) override {
    return std::string(vocab::kCountErr) + " mail transport not available in this build";
  }
};

}  // namespace

std::unique_ptr<MailOperations> NewMailForm(const MailFormOptions&) {
  return std::make_unique<UnavailableMailForm>();
}

}  // namespace tessaly
