// The four mail operations that one check run calls. Each returns one line
// of result text: a text whose first three characters are "ERR" is a
// failure, any other a success. They trap their own failures and never
// throw. Abstract so that the check run is tested without a network.
#ifndef TESSALY_MAIL_MAIL_OPERATIONS_H_
#define TESSALY_MAIL_MAIL_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "mail/operation_report.h"
#include "mail/sasl_oauth.h"

namespace tessaly {

struct SendArgs {
  std::string host;
  std::int32_t port = 0;
  std::string from;
  std::string to;
  std::int16_t timeout = 0;  // seconds
  bool use_ssl = false;
  std::string user;
  std::string password;
  std::string mode;  // OMODE after the check run's mapping
  bool use_ipv6 = false;
  bool debug = false;
  int ssl_start_mode = 0;
  // An OAuth login uses token (an access token) instead of password.
  LoginMethod login = LoginMethod::kPassword;
  std::string token;
};

struct RetrieveArgs {
  std::string host;
  std::int32_t port = 0;
  std::string user;
  std::string password;
  std::string mailbox;  // IMAP4 only, without quotes
  std::string subject;  // the subject to find
  std::int16_t timeout = 0;
  bool only_delete_own = false;
  std::string mode;
  bool ssl = false;
  bool no_x_sender = false;
  bool use_ipv6 = false;
  bool debug = false;
  // Read the control mail's Date and Received fields for the report
  // (OperationReport); an IMAP4 fetch then sends one more FETCH, together
  // with its STORE. POP3 reads them with the header anyway.
  bool delivery_fields = false;
  LoginMethod login = LoginMethod::kPassword;
  std::string token;
};

struct CountArgs {
  std::string host;
  std::int32_t port = 0;
  std::string user;
  std::string password;
  std::int16_t timeout = 0;
  bool ssl = false;
  bool delete_all = false;
  bool use_ipv6 = false;
  bool debug = false;
  LoginMethod login = LoginMethod::kPassword;
  std::string token;
};

class MailOperations {
 public:
  virtual ~MailOperations() = default;
  // subject: on entry the subject's leading text (the keyword), on return
  // the complete subject sent, or "" after a failure.
  virtual std::string SendMessage(const SendArgs& args, std::string* subject) = 0;
  virtual std::string RetrieveMessages(const RetrieveArgs& args) = 0;
  virtual std::string RetrieveMessagesImap4(const RetrieveArgs& args) = 0;
  virtual std::string CountMessages(const CountArgs& args) = 0;
  // What the last call of any of the four did (empty before the first).
  virtual OperationReport LastReport() const { return {}; }
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_MAIL_OPERATIONS_H_
