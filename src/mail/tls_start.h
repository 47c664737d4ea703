// How "automatic" TLS decides between TLS from the first byte and a
// STARTTLS-style upgrade, shared by the POP3, IMAP4 and SMTP clients.
#ifndef TESSALY_MAIL_TLS_START_H_
#define TESSALY_MAIL_TLS_START_H_

#include <algorithm>
#include <string>

namespace tessaly {

// On a port that is not the protocol's well-known implicit-TLS port, a
// server that says nothing for this long after the TCP connect is taken to
// wait for a TLS ClientHello, and the client starts the handshake on the
// same connection. A quarter of the time-out, between 250 ms and 2 s, so a
// slow greeting still has time and the handshake still fits the time-out.
inline constexpr int kGreetingWaitMaxMs = 2000;
inline constexpr int kGreetingWaitMinMs = 250;

// timeout_seconds is the operation's time-out (0 or below: 30 s).
inline int GreetingWaitMs(int timeout_seconds) {
  const int timeout_ms = (timeout_seconds > 0 ? std::min(timeout_seconds, 32767) : 30) * 1000;
  return std::clamp(timeout_ms / 4, kGreetingWaitMinMs, kGreetingWaitMaxMs);
}

// The start of the error text when a silent server did not take TLS from the
// first byte either: both may be what the user expected, so the text says
// both. The reason of the TLS attempt follows it.
inline std::string NoGreetingNoTlsText(int wait_ms) {
  return "no greeting within " + std::to_string(wait_ms) +
         " ms and no TLS from the first byte either: ";
}

}  // namespace tessaly

#endif  // TESSALY_MAIL_TLS_START_H_
