// Composition of the control mail's text: header fields, the one-line body,
// CRLF line ends, and SMTP dot-stuffing for transports that need it. Pure
// functions, no network.
#ifndef TESSALY_MAIL_MAIL_MESSAGE_H_
#define TESSALY_MAIL_MAIL_MESSAGE_H_

#include <ctime>
#include <string>
#include <string_view>

#include "env/status.h"

namespace tessaly {

struct MailMessage {
  std::string from;
  std::string to;
  std::string subject;
  std::string extra_header;  // one complete header line, or "" for none
  std::string body;
};

// True when text holds a CR or an LF.
bool HasLineBreak(std::string_view text);

// "Thu, 10 Dec 2026 14:56:02 +0000" (RFC 5322 date-time, in UTC) for `when`.
std::string Rfc5322Date(std::time_t when);

// A new Message-ID value "<unique@domain>", unique within this process and,
// with overwhelming likelihood, across processes and hosts.
std::string NewMessageId(std::string_view domain);

// The domain a Message-ID uses: the part of `from` after its last "@" when
// that is a plain host name, else "tessaly.invalid".
std::string MessageIdDomain(std::string_view from);

// Fills *text with From, To, Subject, Date, Message-ID, MIME-Version,
// Content-Type (text/plain; charset=UTF-8, 8bit), the extra header line when
// given, an empty line and the body, every line ended by CRLF (bare CR or LF
// in the body become CRLF). Not dot-stuffed. Fails, leaving *text empty,
// when a header value holds a CR or LF, since that would inject headers.
Status ComposeMessage(const MailMessage& message, std::time_t when,
                      std::string_view message_id, std::string* text);

// Doubles the "." that starts any line of CRLF-ended `text`, so that no line
// reads as the end of the DATA section (RFC 5321 4.5.2).
std::string DotStuff(std::string_view text);

}  // namespace tessaly

#endif  // TESSALY_MAIL_MAIL_MESSAGE_H_
