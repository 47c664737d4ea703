// The check every client makes on a value before it puts it into a command
// line: a user name, a password, SASL data.
#ifndef TESSALY_MAIL_COMMAND_VALUE_H_
#define TESSALY_MAIL_COMMAND_VALUE_H_

#include <string_view>

namespace tessaly {

// False when value holds a CR, LF or NUL. Sent inside a command line, such
// a byte ends the line early (or cuts it at the server), and the rest would
// reach the server as a command of its own.
inline bool FitsInCommandLine(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace tessaly

#endif  // TESSALY_MAIL_COMMAND_VALUE_H_
