// Access to the local mail stack that tests/mailstack/mailstack.sh started:
// its ports, users and passwords (read from RUN_DIR/stack.env), and direct
// Maildir access so a test can see what arrived or put messages in place
// without going through SMTP.
#ifndef TESSALY_TESTS_SUPPORT_MAILSTACK_H_
#define TESSALY_TESTS_SUPPORT_MAILSTACK_H_

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "env/status.h"

namespace tessaly::testing {

// One message file of a Maildir: its path and, for ReadMessages, its bytes.
struct MaildirMessage {
  std::string path;
  std::string text;
};

class MailStack {
 public:
  // The stack described by $TESSALY_MAILSTACK/stack.env, parsed once and
  // kept for the process. nullptr when TESSALY_MAILSTACK is unset or its
  // stack.env is missing or incomplete (stack not started). Thread-safe.
  static const MailStack* Get();

  // Parses the text of a stack.env file (KEY=VALUE lines, optional double
  // quotes, # comments); nullptr when a required key is
  // missing or a port is not a number from 1 to 65535.
  static std::unique_ptr<MailStack> Parse(const std::string& env_text);

  int smtp_port() const { return smtp_port_; }              // +25, STARTTLS offered
  int submission_port() const { return submission_port_; }  // +587, AUTH required
  int smtps_port() const { return smtps_port_; }            // +465, implicit TLS
  // +466, implicit TLS on a port that is not the well-known one; 0 when the
  // stack.env does not name it.
  int smtps_alt_port() const { return smtps_alt_port_; }
  int pop3_port() const { return pop3_port_; }              // +110, STARTTLS offered
  int pop3s_port() const { return pop3s_port_; }            // +995, implicit TLS
  int imap_port() const { return imap_port_; }              // +143, STARTTLS offered
  int imaps_port() const { return imaps_port_; }            // +993, implicit TLS
  // +996 and +994: Dovecot's POP3 and IMAP4 with TLS from the first byte on
  // ports that are not the well-known ones; 0 when stack.env does not name
  // them.
  int pop3s_alt_port() const { return pop3s_alt_port_; }
  int imaps_alt_port() const { return imaps_alt_port_; }
  static const char* host4() { return "127.0.0.1"; }
  static const char* host6() { return "::1"; }
  // Dovecot with plain-text logins refused (LOGINDISABLED, no USER in CAPA,
  // STARTTLS/STLS offered), on its own loopback address: a connection from
  // 127.0.0.1 to it does not count as local to Dovecot. Ports are 0 when
  // stack.env does not name them.
  const std::string& noplain_host() const { return noplain_host_; }  // 127.0.0.2
  int noplain_imap_port() const { return noplain_imap_port_; }       // +243
  int noplain_pop3_port() const { return noplain_pop3_port_; }       // +210

  const std::string& domain() const { return domain_; }  // "tessaly.test"
  const std::string& run_dir() const { return run_dir_; }
  // The user names, in stack.env order ("alice", "bob", "carol").
  const std::vector<std::string>& users() const { return users_; }
  // The password of `user`; "" for an unknown user.
  std::string password(const std::string& user) const;
  // user + "@" + domain().
  std::string address(const std::string& user) const;
  // RUN_DIR/mail/<user>/Maildir.
  std::string maildir(const std::string& user) const;
  // Any stack.env value by key ("" when absent), e.g. "REJECT550", "CERT_FILE";
  // also those of oauth.env ("OAUTH_TOKEN_URL", ...) once the OAuth part runs.
  std::string value(const std::string& key) const;

  // Writes `raw_text` as one message into the user's Maildir: a file in
  // tmp/, renamed into new/, owned by the mail user, mode 0600. Returns the
  // final path in *path when path is not null.
  Status PutMessage(const std::string& user, const std::string& raw_text,
                    std::string* path = nullptr) const;
  // Paths of the messages in new/ and cur/, sorted by file name (Maildir
  // names start with the delivery time, so this is roughly arrival order).
  std::vector<std::string> ListMessages(const std::string& user) const;
  // ListMessages with each file's contents.
  std::vector<MaildirMessage> ReadMessages(const std::string& user) const;
  // Removes every message file from new/, cur/ and tmp/ (keeps the dirs).
  Status ClearMailbox(const std::string& user) const;
  // Polls until the user has at least `count` messages or `timeout` passed;
  // true when they are there.
  bool WaitForMessages(const std::string& user, size_t count,
                       std::chrono::milliseconds timeout) const;

 private:
  std::map<std::string, std::string> values_;
  std::string run_dir_, domain_;
  std::vector<std::string> users_;
  int smtp_port_ = 0, submission_port_ = 0, smtps_port_ = 0, pop3_port_ = 0,
      pop3s_port_ = 0, imap_port_ = 0, imaps_port_ = 0, smtps_alt_port_ = 0,
      pop3s_alt_port_ = 0, imaps_alt_port_ = 0;
  unsigned mail_uid_ = 0, mail_gid_ = 0;
  std::string noplain_host_;
  int noplain_imap_port_ = 0, noplain_pop3_port_ = 0;
};

}  // namespace tessaly::testing

// In a test body: binds `stack` to the running mail stack or skips the test.
#define TESSALY_REQUIRE_MAILSTACK(stack)                                   \
  const ::tessaly::testing::MailStack* stack =                             \
      ::tessaly::testing::MailStack::Get();                                \
  if (stack == nullptr) {                                                  \
    GTEST_SKIP() << "local mail stack not running (TESSALY_MAILSTACK="     \
                 << (std::getenv("TESSALY_MAILSTACK") != nullptr           \
                         ? std::getenv("TESSALY_MAILSTACK")                \
                         : "unset")                                        \
                 << ")";                                                   \
  }

#endif  // TESSALY_TESTS_SUPPORT_MAILSTACK_H_
