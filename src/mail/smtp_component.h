// The host SMTP component: an object configured through named properties
// that sends one message per AddMail call. Abstract so that the sending
// operation is tested with a fake that records what it was asked to do.
#ifndef TESSALY_MAIL_SMTP_COMPONENT_H_
#define TESSALY_MAIL_SMTP_COMPONENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "env/status.h"

namespace tessaly {

class SmtpComponent {
 public:
  virtual ~SmtpComponent() = default;

  // Sets one named property. Names (vocab::kSmtpProp*) are matched without
  // regard to case: PrimaryHELO, PrimaryTimeout (16-bit seconds),
  // PrimaryMailserver, PrimaryMailPort (32-bit), PrimaryUsername,
  // PrimaryPassword, primaryauthentication ("T" to log in),
  // alternateauthentication, primarymailFrom, primaryUsessl (Boolean text:
  // "true"/"false", also "T"/"F", "1"/"0", "-1"), primaryXHeader (one header
  // line without line end), PrimaryAuthMechanism ("XOAUTH2", "OAUTHBEARER"
  // or "AUTO") and PrimaryBearerToken (an OAuth access token: with it the
  // login is by token, not by password). An unknown name or a malformed value fails with a
  // description and leaves the component unchanged. A CR or LF in a value
  // that reaches the wire as a command or header (greeting name, server,
  // sender, extra header) is refused; so is CR, LF or NUL in the user name
  // or password, and a sender address that could not go out as one path
  // (blank, angle bracket, control byte, longer than 254 octets; the empty
  // sender is the null reverse-path).
  virtual Status SetProperty(std::string_view name, std::string_view value) = 0;

  // Sends one message to `to` with `subject` and the one-line `body`,
  // synchronously; the whole call, connect, TLS and the closing QUIT
  // included, ends within PrimaryTimeout. `send_now` is the host
  // component's "send at once" flag; this component always sends at once.
  // Fails with a description that carries the server's reply line when the
  // server refuses a step. Refused before any network traffic: a CR or LF
  // in `to` or `subject`; a recipient that is empty, longer than 254
  // octets or holds a blank, angle bracket or control byte; a port outside
  // 1 to 65535. The description never contains the password.
  virtual Status AddMail(std::string_view to, std::string_view subject,
                         std::string_view body, bool send_now) = 0;

  // Ends a transfer in progress (AddMail then fails soon after) and makes
  // every later AddMail on this object fail. Safe to call from any thread,
  // and more than once.
  virtual void StopSending() = 0;

  // What the last AddMail negotiated, for reports: the TLS protocol
  // ("TLSv1.3"; "" without TLS) and the login mechanism ("AUTH PLAIN"; ""
  // without a login). Never a credential.
  virtual std::string LastTls() const { return {}; }
  virtual std::string LastMechanism() const { return {}; }
};

class SmtpComponentFactory {
 public:
  virtual ~SmtpComponentFactory() = default;
  // A new component with no properties set; nullptr when none can be made.
  virtual std::unique_ptr<SmtpComponent> Create() = 0;
  // Why the last Create() gave nullptr, one line; "" when it gives no reason.
  virtual std::string CreateError() const { return {}; }
};

struct SmtpOptions {
  // With primaryUsessl true, this port gets TLS from the first byte (smtps).
  // Injectable so tests can use a loopback port.
  std::int32_t implicit_tls_port = 465;
  // The bound used when PrimaryTimeout is 0 or below: never wait forever.
  std::int16_t default_timeout_seconds = 30;
  // With primaryUsessl true, these ports get STARTTLS, required, at once:
  // SMTP and submission servers greet in clear, some only after a delay
  // longer than any short wait. Any other port is probed: a server that
  // says nothing within GreetingWaitMs of the time-out gets TLS from the
  // first byte on the same connection, one that greets gets STARTTLS.
  std::int32_t starttls_ports[2] = {25, 587};
};

// The host SMTP component of this platform. Windows: the COM object
// registered as KalrowMail.KalrowSmtp, created per send and driven
// late-bound through IDispatch. POSIX: NewCurlSmtpComponentFactory().
std::unique_ptr<SmtpComponentFactory> NewSystemSmtpComponentFactory();

// Windows: components that are COM objects created by prog_id and driven
// late-bound: SetProperty puts the named property (PrimaryTimeout as a
// 16-bit integer, PrimaryMailPort as a 32-bit integer, primaryUsessl as a
// Boolean, every other one as text), AddMail calls "addmail" (recipient,
// subject, body, Boolean) and StopSending calls "stopsending". Failures
// carry the object's error description. The calling thread must have COM
// initialized; every call comes from that thread.
std::unique_ptr<SmtpComponentFactory> NewComSmtpComponentFactory(std::wstring prog_id);

// POSIX: components that speak SMTP through libcurl. Every server certificate is
// accepted (no verification of peer or host name).
std::unique_ptr<SmtpComponentFactory> NewCurlSmtpComponentFactory(SmtpOptions options = {});

}  // namespace tessaly

#endif  // TESSALY_MAIL_SMTP_COMPONENT_H_
