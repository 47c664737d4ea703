// Fake POP3 and IMAP4 components for the operation tests. Each holds a
// mailbox of header-only messages, records every call it gets (one text per
// call, e.g. "SetMailPort 110"), raises events as a real client would, and
// fails on demand at a named call.
#ifndef TESSALY_TESTS_SUPPORT_FAKE_COMPONENTS_H_
#define TESSALY_TESTS_SUPPORT_FAKE_COMPONENTS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mail/imap4_component.h"
#include "mail/pop3_component.h"

namespace tessaly::testing {

struct FakeMessage {
  std::vector<std::pair<std::string, std::string>> headers;  // name, value
  std::string Subject() const;  // value of the first Subject field, or ""
};

// A message with the given Subject and X-Sender fields (absent when nullopt),
// after a Received and a From field that no rule looks at.
FakeMessage Msg(std::optional<std::string> subject, std::optional<std::string> x_sender);

// What both fakes share: the call record and the failure switch.
class FakeComponentBase {
 public:
  std::vector<FakeMessage> messages;
  std::vector<std::string> calls;
  // Fail the call with this name ("Connect", "Disconnect", ...) or its n-th
  // occurrence ("MessageCount#2"): OnError(fail_code, fail_description)
  // fires, then the call returns that error.
  std::string fail_on;
  // In the batched call, fail on reaching this message (1-based): messages
  // before it are fully handled, it and later ones are not.
  std::int32_t fail_at_message = 0;
  std::string fail_description = "-ERR injected failure";
  int fail_code = 7;
  bool connected = false;
  bool certificate_accepted = false;
  // Message numbers (as numbered before removal) that the last commit
  // removed from the mailbox.
  std::vector<std::int32_t> removed;
  std::set<std::int32_t> marks;  // marked deleted / flagged \Deleted, not yet removed
  std::string config, server, user, password;
  LoginMethod login = LoginMethod::kPassword;
  std::string token;  // of an OAuth login; never recorded in calls
  std::int32_t port = 0;
  int ssl_mode = -1;
  std::int16_t timeout = 0;

 protected:
  ComponentEvents* events_ = nullptr;
  std::map<std::string, int> counts_;

  // Records the call; true when it is the one to fail.
  bool Record(const std::string& name, const std::string& arg = "");
  Status Fail();
  // The connect dialogue: SSL status and certificate (when TLS), two trail lines.
  Status FakeConnect(const char* protocol);
  void RemoveMarked();
};

class FakePop3Component : public Pop3Component, public FakeComponentBase {
 public:
  void SetEvents(ComponentEvents* events) override { events_ = events; }
  bool Connected() const override { return connected; }
  Status SetConfig(std::string_view text) override;
  void SetMailPort(std::int32_t p) override;
  void SetMailServer(std::string_view host) override;
  void SetUser(std::string_view u) override;
  void SetPassword(std::string_view p) override;
  Status SetLogin(LoginMethod method, std::string_view token) override;
  Status SetSslStartMode(int mode) override;
  void SetTimeout(std::int16_t seconds) override;
  Status Connect() override;
  Status MessageCount(std::int32_t* count) override;
  Status SetMessageNumber(std::int32_t number) override;
  Status Retrieve() override;
  Status Delete() override;
  Status RetrieveEach(std::int32_t count,
                      const std::function<bool(std::int32_t)>& decide) override;
  Status DeleteEach(std::int32_t count) override;
  Status Disconnect() override;

 private:
  std::int32_t current_ = 0;
};

class FakeImap4Component : public Imap4Component, public FakeComponentBase {
 public:
  std::string mailbox;  // as given to SetMailbox
  // The search as a server runs it: a message is found when one of its
  // fields named as a key (any case) contains the key's value (any case).
  // With search_refused FetchFound never finds.
  std::vector<Imap4SearchKey> search;
  bool search_refused = false;

  void SetEvents(ComponentEvents* events) override { events_ = events; }
  bool Connected() const override { return connected; }
  Status SetConfig(std::string_view text) override;
  void SetMailPort(std::int32_t p) override;
  void SetMailServer(std::string_view host) override;
  void SetUser(std::string_view u) override;
  void SetPassword(std::string_view p) override;
  Status SetLogin(LoginMethod method, std::string_view token) override;
  Status SetSslStartMode(int mode) override;
  void SetTimeout(std::int16_t seconds) override;
  Status Connect() override;
  void SetMailbox(std::string_view quoted_name) override;
  Status SelectMailbox() override;
  Status MessageCount(std::int32_t* count) override;
  Status SetMessageSet(std::string_view set) override;
  Status FetchHeaders() override;
  Status FetchMessageInfo() override;
  std::string Subject() const override;
  Status DeleteFromMailbox() override;
  Status FetchEach(std::int32_t count,
                   const std::function<bool(std::int32_t, std::string_view)>& decide) override;
  void SetSearch(std::vector<Imap4SearchKey> keys) override;
  Status FetchFound(std::int32_t count,
                    const std::function<bool(std::int32_t, std::string_view)>& decide,
                    bool* found) override;
  Status DeleteFound(bool every) override;
  Status Expunge() override;
  Status Disconnect() override;

 private:
  bool Found(const FakeMessage& m) const;

  std::int32_t current_ = 0;
  std::string subject_;
  std::int32_t found_count_ = -1;  // the count of the last FetchFound that found
  std::set<std::int32_t> found_chosen_;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_FAKE_COMPONENTS_H_
