// Dates of message header fields, for the delivery time of the control
// mail: the Date field, and the date after the last ";" of a Received field.
// POSIX only (libcurl reads the dates); the command-line host uses them.
#ifndef TESSALY_MAIL_MAIL_DATE_H_
#define TESSALY_MAIL_MAIL_DATE_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaly {

// Seconds since 1970-01-01 UTC of an RFC 5322 date-time ("Thu, 11 Dec 2026
// 13:01:02 +0100 (CET)"; obsolete zone names and a missing day name are
// read too); nullopt when the text is no date.
std::optional<std::int64_t> ParseMailDate(std::string_view text);

// The date of a Received field's value: the text after its last ";".
// nullopt when there is no ";" or no date after it.
std::optional<std::int64_t> ReceivedDate(std::string_view received_value);

// Seconds from the Date field to the top Received field's date: how long
// the mail took from its author's clock to the last hop. Negative when the
// clocks disagree; nullopt when either date is missing or unreadable.
std::optional<std::int64_t> DeliverySeconds(std::string_view date_value,
                                            std::string_view top_received_value);

}  // namespace tessaly

#endif  // TESSALY_MAIL_MAIL_DATE_H_
