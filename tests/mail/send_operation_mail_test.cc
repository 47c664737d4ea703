// The sending operation over the libcurl SMTP component against the local
// Postfix: the control mail arrives in the Maildir with its exact subject,
// X-Sender line and body, the greeting name from the registry file shows in
// the Received header, over plain, STARTTLS, implicit TLS (on the well-known
// port and on another one) and submission with AUTH on both address
// families; a rejected recipient gives the server's text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "check/vocab.h"
#include "env/clock.h"
#include "env/settings_store.h"
#include "env/trace.h"
#include "mail/send_operation.h"
#include "mail/smtp_component.h"
#include "support/fake_env.h"
#include "support/mailstack.h"

namespace tessaly::testing {
namespace {

constexpr const char* kUser = "bob";
constexpr const char* kTo = "bob@tessaly.test";
constexpr const char* kHelo = "greet.example.test";

// A registry export whose greeting setting is a literal name.
std::string WriteRegistryFile() {
  const std::string path = ::testing::TempDir() + "tessaly_send_mail_helo.reg";
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << "Windows Registry Editor Version 5.00\r\n\r\n"
    << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Vigilor\\SMTP]\r\n"
    << "\"PrimaryHELO\"=\"" << kHelo << "\"\r\n";
  return path;
}

struct Sender {
  explicit Sender(const MailStack& stack)
      : factory(NewCurlSmtpComponentFactory(SmtpOptions{stack.smtps_port(), 30})),
        store(NewRegistryFileStore(WriteRegistryFile())),
        op(*factory, *store, os, SystemClock(), trace) {}
  std::unique_ptr<SmtpComponentFactory> factory;
  std::unique_ptr<SettingsStore> store;
  FakeOsFacts os;
  CaptureTraceSink trace;
  SendOperation op;
};

// Waits (bounded) until Postfix has delivered at least one message.
std::vector<MaildirMessage> AwaitDelivery(const MailStack& stack) {
  for (int i = 0; i < 150; ++i) {
    auto m = stack.ReadMessages(kUser);
    if (!m.empty()) return m;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return {};
}

// kSmtpsAlt: TLS from the first byte on a port that is not the implicit
// one, found by the greeting probe.
enum class Port { kSmtp, kSubmission, kSmtps, kSmtpsAlt };

struct SendCase {
  const char* name;
  Port port;
  bool ssl;
  bool ipv6;
  const char* user;  // "" for no AUTH
};

class RealSendTest : public ::testing::TestWithParam<SendCase> {};

TEST_P(RealSendTest, ControlMailArrivesWithGreetingName) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  const SendCase& c = GetParam();
  ASSERT_TRUE(stack->ClearMailbox(kUser).ok()) << c.name;
  Sender s(*stack);
  SendArgs a;
  a.host = c.ipv6 ? MailStack::host6() : MailStack::host4();
  if (c.port == Port::kSmtpsAlt && stack->smtps_alt_port() == 0) {
    GTEST_SKIP() << "stack.env names no SMTPS_ALT_PORT";
  }
  a.port = c.port == Port::kSmtp         ? stack->smtp_port()
           : c.port == Port::kSubmission ? stack->submission_port()
           : c.port == Port::kSmtps      ? stack->smtps_port()
                                         : stack->smtps_alt_port();
  a.from = "alice@tessaly.test";
  a.to = kTo;
  a.timeout = 20;
  a.use_ssl = c.ssl;
  a.use_ipv6 = c.ipv6;
  a.user = c.user;
  a.password = stack->password(c.user);
  a.mode = "TESSALY";
  std::string subject = "";
  const std::string result = s.op.SendMessageV2(a, &subject);
  ASSERT_EQ(result, "Message send successfully (" + subject + ")") << c.name;
  ASSERT_EQ(subject.rfind("TESSALY ", 0), 0u) << c.name << ": " << subject;
  const auto got = AwaitDelivery(*stack);
  ASSERT_EQ(got.size(), 1u) << c.name;
  const std::string& m = got[0].text;
  EXPECT_NE(m.find("\nSubject: " + subject + "\n"), std::string::npos) << c.name << "\n" << m;
  EXPECT_NE(m.find("\n" + std::string(vocab::kHeaderTessaly) + "\n"), std::string::npos)
      << c.name << "\n" << m;
  EXPECT_NE(m.find("\n\n" + std::string(vocab::kBodyTessaly)), std::string::npos)
      << c.name << "\n" << m;
  EXPECT_NE(m.find("Received: from " + std::string(kHelo)), std::string::npos)
      << c.name << "\n" << m;
}

INSTANTIATE_TEST_SUITE_P(
    All, RealSendTest,
    ::testing::Values(SendCase{"plain_v4", Port::kSmtp, false, false, ""},
                      SendCase{"plain_v6", Port::kSmtp, false, true, ""},
                      SendCase{"starttls_v4", Port::kSmtp, true, false, ""},
                      SendCase{"starttls_v6", Port::kSmtp, true, true, ""},
                      SendCase{"implicit_tls_v4", Port::kSmtps, true, false, ""},
                      SendCase{"implicit_tls_v6", Port::kSmtps, true, true, ""},
                      SendCase{"implicit_tls_other_port_v4", Port::kSmtpsAlt, true, false, ""},
                      SendCase{"implicit_tls_other_port_v6", Port::kSmtpsAlt, true, true,
                               "alice"},
                      SendCase{"submission_auth_v4", Port::kSubmission, true, false, "alice"},
                      SendCase{"submission_auth_v6", Port::kSubmission, true, true, "alice"}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(RealSendFailureTest, RejectedRecipientGivesServerText) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  Sender s(*stack);
  SendArgs a;
  a.host = MailStack::host4();
  a.port = stack->smtp_port();
  a.from = "alice@tessaly.test";
  a.to = stack->value("REJECT550");
  a.timeout = 20;
  a.mode = "TESSALY";
  std::string subject = "";
  const std::string result = s.op.SendMessageV2(a, &subject);
  EXPECT_EQ(result.rfind("ERR SMTP: ", 0), 0u) << result;
  EXPECT_NE(result.find("550"), std::string::npos) << result;
  EXPECT_NE(result.find("Recipient address rejected: mailbox unavailable"), std::string::npos)
      << result;
  EXPECT_EQ(subject, "");
}

}  // namespace
}  // namespace tessaly::testing
