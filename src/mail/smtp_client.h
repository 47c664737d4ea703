// A small SMTP client over Connection: one message per call, for the SMTP
// component this project ships for hosts that have none of their own (the
// Windows COM component KalrowMail.KalrowSmtp). It greets with EHLO (HELO
// when EHLO is refused), upgrades with STARTTLS or starts TLS at once,
// logs in with AUTH PLAIN or LOGIN, or with an OAuth 2.0 access token by
// AUTH XOAUTH2 or OAUTHBEARER, and sends the message dot-stuffed.
#ifndef TESSALY_MAIL_SMTP_CLIENT_H_
#define TESSALY_MAIL_SMTP_CLIENT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/sasl_oauth.h"

namespace tessaly {

struct SmtpSettings {
  std::string helo;    // the greeting name; "" greets as "localhost"
  std::string server;
  std::int32_t port = 25;
  int timeout_seconds = 30;  // per step; 0 or below: 30
  bool use_ipv6 = false;
  // TLS: from the first byte on implicit_tls_port, by STARTTLS (required)
  // on every other port.
  bool use_ssl = false;
  std::int32_t implicit_tls_port = 465;
  // AUTH when login is set and user and password are not empty: PLAIN when
  // the server offers it, else LOGIN; a server offering neither fails.
  bool login = false;
  std::string user;
  std::string password;
  // An OAuth login instead: with login set and a user, a non-empty token
  // wins over the password (which then never goes out). mechanism is
  // kXoauth2 or kOAuthBearer, or kAutomatic for OAUTHBEARER when the
  // server offers it, else XOAUTH2; a server offering neither fails.
  std::string bearer_token;
  LoginMethod mechanism = LoginMethod::kAutomatic;
  std::string from;
};

// Sends message (complete header and body, CRLF line ends, not dot-stuffed)
// from settings.from to `to` over a new connection, then QUIT. A refused
// step fails with "<step> refused: <server reply line>"; a transport fault
// with the connection's description. A refused OAuth login fails with
// "<mechanism> login refused: <final reply>", followed by "; OAuth
// challenge: <JSON>" when the server explained itself in a 334 challenge
// (answered as the mechanism requires before the final reply); a server
// that hangs up on the token says so. Descriptions never hold the password,
// the token or what was sent in AUTH.
// Certificates go to events (nullptr accepts every one).
Status SendSmtpMessage(const SmtpSettings& settings, std::string_view to,
                       std::string_view message, ComponentEvents* events = nullptr);

}  // namespace tessaly

#endif  // TESSALY_MAIL_SMTP_CLIENT_H_
