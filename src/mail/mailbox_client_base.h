// What the POP3 and the IMAP4 client share: the settings every mailbox
// component takes before Connect, the connection, and how a failure is
// reported or drops the connection. Internal to src/mail; Component is
// Pop3Component or Imap4Component.
#ifndef TESSALY_MAIL_MAILBOX_CLIENT_BASE_H_
#define TESSALY_MAIL_MAILBOX_CLIENT_BASE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/connection.h"
#include "mail/sasl_oauth.h"

namespace tessaly {

template <class Component>
class MailboxClientBase : public Component {
 public:
  void SetEvents(ComponentEvents* events) override {
    events_ = events;
    conn_.SetEvents(events);
  }
  bool Connected() const override { return connected_ && conn_.IsOpen(); }
  Status SetConfig(std::string_view text) override {
    bool ipv6 = false;
    if (!ParseIpv6Config(text, &ipv6)) {
      return Report(Status::Error("unknown configuration \"" + ReplyText(text) + "\"",
                                  kErrorConfig));
    }
    ipv6_ = ipv6;
    return Status::Ok();
  }
  void SetMailPort(std::int32_t port) override { port_ = port; }
  void SetMailServer(std::string_view host) override { host_ = host; }
  void SetUser(std::string_view user) override { user_ = user; }
  void SetPassword(std::string_view password) override { password_ = password; }
  Status SetLogin(LoginMethod method, std::string_view token) override {
    login_ = method;
    token_ = token;
    return Status::Ok();
  }
  Status SetSslStartMode(int mode) override {
    if (mode != 0 && mode != 3) {
      return Report(Status::Error("unknown SSL start mode " + std::to_string(mode),
                                  kErrorConfig));
    }
    ssl_mode_ = mode;
    return Status::Ok();
  }
  void SetTimeout(std::int16_t seconds) override { conn_.SetTimeout(seconds); }

 protected:
  explicit MailboxClientBase(std::int32_t default_port) : port_(default_port) {}

  // A failure goes to OnError; s is returned as it is.
  Status Report(Status s) {
    if (!s.ok() && events_ != nullptr) events_->OnError(s.code(), s.message());
    return s;
  }
  // Drops the connection after a failure, without a logout (so the server
  // rolls back what this connection marked), and reports s.
  Status Drop(Status s) {
    conn_.Close();
    connected_ = false;
    return Report(std::move(s));
  }
  Status RequireConnected() const {
    if (connected_ && conn_.IsOpen()) return Status::Ok();
    return Status::Error("not connected", kErrorState);
  }

  ComponentEvents* events_ = nullptr;
  Connection conn_;
  bool ipv6_ = false;
  bool connected_ = false;
  std::int32_t port_;
  std::string host_, user_, password_;
  int ssl_mode_ = 0;
  LoginMethod login_ = LoginMethod::kPassword;
  std::string token_;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_MAILBOX_CLIENT_BASE_H_
