// Events of the POP3 and IMAP4 client components. A component raises them
// during the call that causes them, on the caller's thread. Abstract so that
// the operations decide what is traced and tests can record the events.
#ifndef TESSALY_MAIL_COMPONENT_EVENTS_H_
#define TESSALY_MAIL_COMPONENT_EVENTS_H_

#include <string_view>

namespace tessaly {

enum class TrailDirection { kSent = 0, kReceived = 1 };

class ComponentEvents {
 public:
  virtual ~ComponentEvents() = default;
  // A failure inside the component: its code and description.
  virtual void OnError(int /*code*/, std::string_view /*description*/) {}
  // One header field of the message being retrieved: its name and its
  // unfolded value, without the colon and the blanks after it.
  virtual void OnHeader(std::string_view /*field*/, std::string_view /*value*/) {}
  // One protocol line, without its line end; credentials already masked.
  virtual void OnTrail(TrailDirection /*direction*/, std::string_view /*text*/) {}
  // The server's certificate (PEM text); *accept decides whether the TLS
  // handshake goes on. It arrives set to false.
  virtual void OnCertificate(std::string_view /*pem*/, bool* /*accept*/) {}
  // A line about the TLS negotiation (protocol, cipher, verification).
  virtual void OnSslStatus(std::string_view /*text*/) {}
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_COMPONENT_EVENTS_H_
