// Small helpers shared by the retrieval and count operations.
#ifndef TESSALY_MAIL_OPERATION_TEXT_H_
#define TESSALY_MAIL_OPERATION_TEXT_H_

#include <string>
#include <string_view>

#include "check/vocab.h"
#include "env/status.h"
#include "mail/sasl_oauth.h"

namespace tessaly::internal {

// "UseIPv6=True" or "UseIPv6=False".
inline std::string Ipv6ConfigText(bool use_ipv6) {
  std::string s(vocab::kConfigIpv6);
  s.append(use_ipv6 ? vocab::kConfigTrue : vocab::kConfigFalse);
  return s;
}

// prefix + description + " (" + location + ")".
inline std::string FailureText(std::string_view prefix, const Status& status, int location) {
  std::string s(prefix);
  s.append(status.message());
  s.append(" (");
  s.append(std::to_string(location));
  s.append(")");
  return s;
}

// The subject list of the result texts: one leading "-" removed.
inline std::string_view StripOneDash(std::string_view list) {
  if (!list.empty() && list.front() == '-') list.remove_prefix(1);
  return list;
}

// text + list + ")".
inline std::string ListText(std::string_view text, std::string_view list) {
  std::string s(text);
  s.append(list);
  s.append(")");
  return s;
}

// SSL start mode of the components: 0 automatic TLS, 3 plain.
inline int SslStartMode(bool ssl) { return ssl ? 0 : 3; }

// Configures a POP3 or IMAP4 component completely and connects: the
// configuration text, mail port (first instead when port_first), server,
// user, password, SSL start mode, time-out. On failure *step names the
// step that failed (kConfig, kSslMode or kConnect of Step).
template <typename Component, typename Args, typename Step>
Status ConfigureAndConnect(Component& component, const Args& args, bool port_first,
                           Step* step) {
  if (port_first) component.SetMailPort(args.port);
  *step = Step::kConfig;
  if (Status s = component.SetConfig(Ipv6ConfigText(args.use_ipv6)); !s.ok()) return s;
  if (!port_first) component.SetMailPort(args.port);
  component.SetMailServer(args.host);
  component.SetUser(args.user);
  component.SetPassword(args.password);
  // Only an OAuth login makes this call, so a password login configures
  // the component exactly as before.
  if (args.login != LoginMethod::kPassword) {
    if (Status s = component.SetLogin(args.login, args.token); !s.ok()) return s;
  }
  *step = Step::kSslMode;
  if (Status s = component.SetSslStartMode(SslStartMode(args.ssl)); !s.ok()) return s;
  component.SetTimeout(args.timeout);
  *step = Step::kConnect;
  return component.Connect();
}

}  // namespace tessaly::internal

#endif  // TESSALY_MAIL_OPERATION_TEXT_H_
