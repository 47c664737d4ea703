// Pure readers for POP3 reply lines: the status indicator, the STAT
// answer and the CAPA list.
#ifndef TESSALY_MAIL_POP3_REPLY_H_
#define TESSALY_MAIL_POP3_REPLY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

enum class Pop3Status { kOk, kErr, kInvalid };

// "+OK" or "-ERR" followed by the end of the line or a blank; anything
// else is kInvalid (case-sensitive, as servers send it).
Pop3Status ClassifyPop3Status(std::string_view line);

// "+OK <count> <octets>" with decimal numbers that fit 32 bits; fills
// *count. False for anything else (missing, negative, overflowing,
// trailing garbage other than further blank-separated text).
bool ParseStat(std::string_view line, std::int32_t* count);

struct Pop3Capabilities {
  bool top = false;
  bool pipelining = false;
  bool stls = false;
  bool user = false;  // USER and PASS accepted on this connection
  // The mechanisms of the SASL line (RFC 5034), as the server wrote them;
  // sasl_listed tells an empty list from none given.
  std::vector<std::string> sasl;
  bool sasl_listed = false;
  // Takes one line of a CAPA answer (case-insensitive keyword).
  void Add(std::string_view line);
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_POP3_REPLY_H_
