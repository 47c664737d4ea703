// What a mail client tells its events, kept for a test to read, and the
// settings the POP3 and IMAP4 client tests against the local stack share.
#ifndef TESSALY_TESTS_SUPPORT_RECORDING_EVENTS_H_
#define TESSALY_TESTS_SUPPORT_RECORDING_EVENTS_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "mail/component_events.h"
#include "support/mailstack.h"

namespace tessaly::testing {

// Errors as "code text", headers as "Field: value", the trail's lines, and
// how many certificates were shown (each accepted when it is a PEM
// certificate).
class RecordingEvents : public ComponentEvents {
 public:
  void OnError(int code, std::string_view d) override {
    errors.push_back(std::to_string(code) + " " + std::string(d));
  }
  void OnHeader(std::string_view f, std::string_view v) override {
    headers.push_back(std::string(f) + ": " + std::string(v));
  }
  void OnTrail(TrailDirection, std::string_view t) override { trail.emplace_back(t); }
  void OnCertificate(std::string_view pem, bool* accept) override {
    ++certificates;
    *accept = pem.find("BEGIN CERTIFICATE") != std::string_view::npos;
  }
  std::vector<std::string> errors, headers, trail;
  int certificates = 0;
};

// Points client at the stack: host (empty: the stack's address of the
// family), port, address family, SSL start mode, user and password, a 5 s
// time-out, events into rec.
template <typename Client>
void ConfigureForStack(Client* client, const MailStack& stack, RecordingEvents* rec, int port,
                       bool ipv6, int ssl_mode, const std::string& user,
                       const std::string& password, const std::string& host) {
  client->SetEvents(rec);
  EXPECT_TRUE(client->SetConfig(ipv6 ? "UseIPv6=True" : "UseIPv6=False").ok());
  client->SetMailPort(port);
  client->SetMailServer(!host.empty() ? host : ipv6 ? stack.host6() : stack.host4());
  client->SetUser(user);
  client->SetPassword(password);
  EXPECT_TRUE(client->SetSslStartMode(ssl_mode).ok());
  client->SetTimeout(5);
}

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_RECORDING_EVENTS_H_
