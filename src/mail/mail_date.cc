#include "mail/mail_date.h"

#include <curl/curl.h>

#include <string>

namespace tessaly {

std::optional<std::int64_t> ParseMailDate(std::string_view text) {
  // Folded fields keep their CRLF and tab; the date reader wants one line.
  std::string line;
  for (char c : text) line.push_back(c == '\r' || c == '\n' || c == '\t' ? ' ' : c);
  const std::size_t first = line.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  const time_t t = curl_getdate(line.c_str() + first, nullptr);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::optional<std::int64_t> ReceivedDate(std::string_view received_value) {
  const std::size_t semicolon = received_value.rfind(';');
  if (semicolon == std::string_view::npos) return std::nullopt;
  return ParseMailDate(received_value.substr(semicolon + 1));
}

std::optional<std::int64_t> DeliverySeconds(std::string_view date_value,
                                            std::string_view top_received_value) {
  const std::optional<std::int64_t> sent = ParseMailDate(date_value);
  const std::optional<std::int64_t> arrived = ReceivedDate(top_received_value);
  if (!sent || !arrived) return std::nullopt;
  return *arrived - *sent;
}

}  // namespace tessaly
