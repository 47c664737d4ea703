// Masks credentials in the client's protocol lines before they reach a
// trace: the POP3 PASS argument and APOP digest, SASL data of AUTH (the
// initial response and every client line of the exchange) and the IMAP
// LOGIN password (quoted, atom or literal). Pure; one instance per
// connection, fed every line in order.
#ifndef TESSALY_MAIL_TRAIL_MASK_H_
#define TESSALY_MAIL_TRAIL_MASK_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tessaly {

class TrailMask {
 public:
  static constexpr std::string_view kMask = "****";

  // The text to show for a line the client sent (without line end).
  std::string Sent(std::string_view line);
  // Tells the mask about a server line: a reply that is not a "+"
  // continuation ends a SASL exchange.
  void Received(std::string_view line);
  void Reset() { *this = TrailMask(); }

 private:
  std::string MaskLogin(std::string_view head, std::string_view args);

  bool in_sasl_ = false;        // AUTH/AUTHENTICATE exchange running
  bool next_is_secret_ = false;  // next sent line is a password literal
  std::size_t user_literal_ = 0;  // next sent line starts with the user literal
  bool user_literal_pending_ = false;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_TRAIL_MASK_H_
