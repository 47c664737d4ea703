#include "support/fake_components.h"

#include <algorithm>

namespace tessaly::testing {

std::string FakeMessage::Subject() const {
  for (const auto& [name, value] : headers) {
    if (name == "Subject") return value;
  }
  return "";
}

FakeMessage Msg(std::optional<std::string> subject, std::optional<std::string> x_sender) {
  FakeMessage m;
  m.headers.emplace_back("Received", "from relay by mx; Thu, 10 Dec 2026 14:00:00 +0000");
  m.headers.emplace_back("From", "someone@example.test");
  if (subject) m.headers.emplace_back("Subject", *subject);
  if (x_sender) m.headers.emplace_back("X-Sender", *x_sender);
  return m;
}

bool FakeComponentBase::Record(const std::string& name, const std::string& arg) {
  calls.push_back(arg.empty() ? name : name + " " + arg);
  const int n = ++counts_[name];
  return fail_on == name || fail_on == name + "#" + std::to_string(n);
}

Status FakeComponentBase::Fail() {
  if (events_ != nullptr) events_->OnError(fail_code, fail_description);
  return Status::Error(fail_description, fail_code);
}

Status FakeComponentBase::FakeConnect(const char* protocol) {
  marks.clear();
  connected = false;
  if (events_ != nullptr && ssl_mode == 0) {
    bool accept = false;
    events_->OnCertificate("-----BEGIN CERTIFICATE-----", &accept);
    certificate_accepted = accept;
    if (!accept) return Status::Error("certificate rejected");
    events_->OnSslStatus("TLSv1.3 TLS_AES_256_GCM_SHA384");
  }
  if (events_ != nullptr) {
    events_->OnTrail(TrailDirection::kReceived, std::string(protocol) + " ready");
    events_->OnTrail(TrailDirection::kSent, "PASS ****");
  }
  connected = true;
  return Status::Ok();
}

void FakeComponentBase::RemoveMarked() {
  removed.assign(marks.begin(), marks.end());
  for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
    if (*it >= 1 && *it <= static_cast<std::int32_t>(messages.size())) {
      messages.erase(messages.begin() + (*it - 1));
    }
  }
  marks.clear();
}

// ---- POP3 -------------------------------------------------------------------

Status FakePop3Component::SetConfig(std::string_view text) {
  if (Record("SetConfig", std::string(text))) return Fail();
  config = text;
  return Status::Ok();
}
void FakePop3Component::SetMailPort(std::int32_t p) {
  Record("SetMailPort", std::to_string(p));
  port = p;
}
void FakePop3Component::SetMailServer(std::string_view host) {
  Record("SetMailServer", std::string(host));
  server = host;
}
void FakePop3Component::SetUser(std::string_view u) {
  Record("SetUser", std::string(u));
  user = u;
}
void FakePop3Component::SetPassword(std::string_view p) {
  Record("SetPassword", std::string(p));
  password = p;
}

Status FakePop3Component::SetLogin(LoginMethod method, std::string_view t) {
  const std::string_view name = MechanismName(method);
  if (Record("SetLogin", name.empty() && method == LoginMethod::kAutomatic ? "AUTO"
                         : name.empty()                                   ? "PASSWORD"
                                                                          : std::string(name))) {
    return Fail();
  }
  login = method;
  token = t;
  return Status::Ok();
}
Status FakePop3Component::SetSslStartMode(int mode) {
  if (Record("SetSslStartMode", std::to_string(mode))) return Fail();
  ssl_mode = mode;
  return Status::Ok();
}
void FakePop3Component::SetTimeout(std::int16_t seconds) {
  Record("SetTimeout", std::to_string(seconds));
  timeout = seconds;
}
Status FakePop3Component::Connect() {
  if (Record("Connect")) return Fail();
  return FakeConnect("+OK POP3");
}
Status FakePop3Component::MessageCount(std::int32_t* count) {
  if (Record("MessageCount")) return Fail();
  *count = static_cast<std::int32_t>(messages.size());
  return Status::Ok();
}
Status FakePop3Component::SetMessageNumber(std::int32_t number) {
  if (Record("SetMessageNumber", std::to_string(number))) return Fail();
  current_ = number;
  return Status::Ok();
}
Status FakePop3Component::Retrieve() {
  if (Record("Retrieve")) return Fail();
  if (current_ < 1 || current_ > static_cast<std::int32_t>(messages.size())) {
    return Status::Error("-ERR no such message");
  }
  for (const auto& [name, value] : messages[static_cast<std::size_t>(current_ - 1)].headers) {
    if (events_ != nullptr) events_->OnHeader(name, value);
  }
  return Status::Ok();
}
Status FakePop3Component::Delete() {
  if (Record("Delete")) return Fail();
  marks.insert(current_);
  return Status::Ok();
}
Status FakePop3Component::RetrieveEach(std::int32_t count,
                                       const std::function<bool(std::int32_t)>& decide) {
  if (Record("RetrieveEach", std::to_string(count))) return Fail();
  for (std::int32_t i = 1; i <= count; ++i) {
    if (i == fail_at_message) return Fail();
    if (i > static_cast<std::int32_t>(messages.size())) return Status::Error("-ERR no such message");
    for (const auto& [name, value] : messages[static_cast<std::size_t>(i - 1)].headers) {
      if (events_ != nullptr) events_->OnHeader(name, value);
    }
    if (decide(i)) marks.insert(i);
  }
  return Status::Ok();
}
Status FakePop3Component::DeleteEach(std::int32_t count) {
  if (Record("DeleteEach", std::to_string(count))) return Fail();
  for (std::int32_t i = 1; i <= count; ++i) {
    if (i == fail_at_message) return Fail();
    marks.insert(i);
  }
  return Status::Ok();
}
Status FakePop3Component::Disconnect() {
  const bool fail = Record("Disconnect");
  const bool was_connected = connected;
  connected = false;  // closed even when QUIT fails
  if (fail) {
    marks.clear();  // the server rolls back marks of a dropped session
    return Fail();
  }
  if (was_connected) RemoveMarked();
  return Status::Ok();
}

// ---- IMAP4 ------------------------------------------------------------------

Status FakeImap4Component::SetConfig(std::string_view text) {
  if (Record("SetConfig", std::string(text))) return Fail();
  config = text;
  return Status::Ok();
}
void FakeImap4Component::SetMailPort(std::int32_t p) {
  Record("SetMailPort", std::to_string(p));
  port = p;
}
void FakeImap4Component::SetMailServer(std::string_view host) {
  Record("SetMailServer", std::string(host));
  server = host;
}
void FakeImap4Component::SetUser(std::string_view u) {
  Record("SetUser", std::string(u));
  user = u;
}
void FakeImap4Component::SetPassword(std::string_view p) {
  Record("SetPassword", std::string(p));
  password = p;
}

Status FakeImap4Component::SetLogin(LoginMethod method, std::string_view t) {
  const std::string_view name = MechanismName(method);
  if (Record("SetLogin", name.empty() && method == LoginMethod::kAutomatic ? "AUTO"
                         : name.empty()                                   ? "PASSWORD"
                                                                          : std::string(name))) {
    return Fail();
  }
  login = method;
  token = t;
  return Status::Ok();
}
Status FakeImap4Component::SetSslStartMode(int mode) {
  if (Record("SetSslStartMode", std::to_string(mode))) return Fail();
  ssl_mode = mode;
  return Status::Ok();
}
void FakeImap4Component::SetTimeout(std::int16_t seconds) {
  Record("SetTimeout", std::to_string(seconds));
  timeout = seconds;
}
Status FakeImap4Component::Connect() {
  if (Record("Connect")) return Fail();
  return FakeConnect("* OK IMAP4rev1");
}
void FakeImap4Component::SetMailbox(std::string_view quoted_name) {
  Record("SetMailbox", std::string(quoted_name));
  mailbox = quoted_name;
}
Status FakeImap4Component::SelectMailbox() {
  if (Record("SelectMailbox")) return Fail();
  return Status::Ok();
}
Status FakeImap4Component::MessageCount(std::int32_t* count) {
  if (Record("MessageCount")) return Fail();
  *count = static_cast<std::int32_t>(messages.size());
  return Status::Ok();
}
Status FakeImap4Component::SetMessageSet(std::string_view set) {
  if (Record("SetMessageSet", std::string(set))) return Fail();
  current_ = std::stoi(std::string(set));
  return Status::Ok();
}
Status FakeImap4Component::FetchHeaders() {
  if (Record("FetchHeaders")) return Fail();
  if (current_ < 1 || current_ > static_cast<std::int32_t>(messages.size())) {
    return Status::Error("BAD invalid message set");
  }
  for (const auto& [name, value] : messages[static_cast<std::size_t>(current_ - 1)].headers) {
    if (events_ != nullptr && (name == "Subject" || name == "X-Sender")) {
      events_->OnHeader(name, value);
    }
  }
  return Status::Ok();
}
Status FakeImap4Component::FetchMessageInfo() {
  if (Record("FetchMessageInfo")) return Fail();
  subject_ = messages.at(static_cast<std::size_t>(current_ - 1)).Subject();
  return Status::Ok();
}
std::string FakeImap4Component::Subject() const { return subject_; }
Status FakeImap4Component::DeleteFromMailbox() {
  if (Record("DeleteFromMailbox")) return Fail();
  marks.insert(current_);
  return Status::Ok();
}
Status FakeImap4Component::FetchEach(
    std::int32_t count, const std::function<bool(std::int32_t, std::string_view)>& decide) {
  if (Record("FetchEach", std::to_string(count))) return Fail();
  std::set<std::int32_t> chosen;
  for (std::int32_t i = 1; i <= count; ++i) {
    if (i == fail_at_message) return Fail();  // the STORE never goes out
    if (i > static_cast<std::int32_t>(messages.size())) return Status::Error("BAD invalid message set");
    const FakeMessage& m = messages[static_cast<std::size_t>(i - 1)];
    for (const auto& [name, value] : m.headers) {
      if (events_ != nullptr && (name == "Subject" || name == "X-Sender")) {
        events_->OnHeader(name, value);
      }
    }
    if (decide(i, m.Subject())) chosen.insert(i);
  }
  marks.insert(chosen.begin(), chosen.end());
  return Status::Ok();
}
void FakeImap4Component::SetSearch(std::vector<Imap4SearchKey> keys) {
  std::string arg;
  for (const Imap4SearchKey& k : keys) arg += (arg.empty() ? "" : "|") + k.field + "=" + k.value;
  Record("SetSearch", arg);
  search = std::move(keys);
}

namespace {
std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}
}  // namespace

bool FakeImap4Component::Found(const FakeMessage& m) const {
  for (const Imap4SearchKey& k : search) {
    for (const auto& [name, value] : m.headers) {
      if (Upper(name) == Upper(k.field) &&
          Upper(value).find(Upper(k.value)) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

Status FakeImap4Component::FetchFound(
    std::int32_t count, const std::function<bool(std::int32_t, std::string_view)>& decide,
    bool* found) {
  *found = false;
  found_count_ = -1;
  found_chosen_.clear();
  if (Record("FetchFound", std::to_string(count))) return Fail();
  if (search.empty() || search_refused) return Status::Ok();
  for (std::int32_t i = 1; i <= count && i <= static_cast<std::int32_t>(messages.size()); ++i) {
    const FakeMessage& m = messages[static_cast<std::size_t>(i - 1)];
    if (!Found(m)) continue;
    for (const auto& [name, value] : m.headers) {
      if (events_ != nullptr && (name == "Subject" || name == "X-Sender")) {
        events_->OnHeader(name, value);
      }
    }
    if (decide(i, m.Subject())) found_chosen_.insert(i);
  }
  found_count_ = count;
  *found = true;
  return Status::Ok();
}

Status FakeImap4Component::DeleteFound(bool every) {
  if (Record("DeleteFound", every ? "every" : "chosen")) return Fail();
  if (found_count_ < 0) return Status::Error("search answer not fetched");
  if (!every) {
    marks.insert(found_chosen_.begin(), found_chosen_.end());
    return Status::Ok();
  }
  for (std::int32_t i = 1; i <= found_count_; ++i) marks.insert(i);
  return Status::Ok();
}

Status FakeImap4Component::Expunge() {
  if (Record("Expunge")) return Fail();
  RemoveMarked();
  return Status::Ok();
}
Status FakeImap4Component::Disconnect() {
  const bool fail = Record("Disconnect");
  connected = false;
  if (fail) return Fail();
  return Status::Ok();
}

}  // namespace tessaly::testing
