// A small result value for code that can fail. It carries a message with no
// line break, an optional numeric code and the location number that the mail
// operations print in their failure texts. The first error wins: callers
// return the first non-ok Status they see.
#ifndef TESSALY_ENV_STATUS_H_
#define TESSALY_ENV_STATUS_H_

#include <string>
#include <utility>

namespace tessaly {

class Status {
 public:
  Status() = default;  // ok

  static Status Ok() { return Status(); }
  static Status Error(std::string message, int code = 0) {
    Status s;
    s.ok_ = false;
    s.message_ = std::move(message);
    s.code_ = code;
    return s;
  }

  bool ok() const { return ok_; }
  const std::string& message() const { return message_; }
  int code() const { return code_; }

 private:
  bool ok_ = true;
  std::string message_;
  int code_ = 0;
};

}  // namespace tessaly

#endif  // TESSALY_ENV_STATUS_H_
