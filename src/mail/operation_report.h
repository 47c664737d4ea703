// What one mail operation did besides its result text: where it connected,
// how it logged in, which control mail it handled, how many messages it
// looked at and, for a fetch that found the control mail, the headers that
// date its delivery. Read by hosts that report more than the result text;
// never holds a password.
#ifndef TESSALY_MAIL_OPERATION_REPORT_H_
#define TESSALY_MAIL_OPERATION_REPORT_H_

#include <optional>
#include <string>

namespace tessaly {

struct OperationReport {
  std::string tls;        // TLS protocol of the connection ("TLSv1.3"); "" without TLS
  std::string mechanism;  // login mechanism ("USER", "LOGIN", "AUTH PLAIN"); "" unknown
  std::optional<int> examined;  // messages whose header the operation read
  std::optional<int> deleted;   // messages it marked deleted

  // The control mail a fetch found (the first, when several match).
  bool found = false;
  std::string date;          // its Date field, as received ("" when absent)
  std::string top_received;  // its first (most recent) Received field ("" when absent)
  int received_fields = 0;   // how many Received fields it carries
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_OPERATION_REPORT_H_
