#include "mail/mail_form.h"

#include <utility>

#include "env/os_facts.h"
#include "env/settings_store.h"
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/retrieve_operations.h"
#include "mail/send_operation.h"
#include "mail/smtp_component.h"

namespace tessaly {
namespace {

// Owns the components and the operations over them for the life of one
// check object. Members are declared in the order they are built, so the
// operations go before the components they point to.
class MailForm : public MailOperations {
 public:
  explicit MailForm(const MailFormOptions& options)
      : store_(NewSystemSettingsStore(options.registry_file)),
        smtp_factory_(NewSystemSmtpComponentFactory()),
        pop3_(NewPop3Client()),
        imap4_(NewImap4Client()),
        send_(*smtp_factory_, *store_, SystemOsFacts(), *options.clock, *options.trace),
        retrieve_(*pop3_, *imap4_, *options.trace) {}

  std::string SendMessage(const SendArgs& args, std::string* subject) override {
    std::string text = send_.SendMessageV2(args, subject);
    last_ = send_.report();
    return text;
  }
  std::string RetrieveMessages(const RetrieveArgs& args) override {
    std::string text = retrieve_.RetrieveMessages(args);
    last_ = retrieve_.report();
    return text;
  }
  std::string RetrieveMessagesImap4(const RetrieveArgs& args) override {
    std::string text = retrieve_.RetrieveMessagesImap4(args);
    last_ = retrieve_.report();
    return text;
  }
  std::string CountMessages(const CountArgs& args) override {
    std::string text = retrieve_.CountMessages(args);
    last_ = retrieve_.report();
    return text;
  }
  OperationReport LastReport() const override { return last_; }

 private:
  std::unique_ptr<SettingsStore> store_;
  std::unique_ptr<SmtpComponentFactory> smtp_factory_;
  std::unique_ptr<Pop3Component> pop3_;
  std::unique_ptr<Imap4Component> imap4_;
  SendOperation send_;
  RetrieveOperations retrieve_;
  OperationReport last_;
};

}  // namespace

std::unique_ptr<MailOperations> NewMailForm(const MailFormOptions& options) {
  return std::make_unique<MailForm>(options);
}

}  // namespace tessaly
