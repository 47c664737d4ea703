#include "mail/imap4_client.h"

#include <cstdint>
#include <string>
#include <vector>

#include "mail/connection.h"
#include "mail/header_parser.h"
#include "mail/trail_mask.h"

namespace tessaly {
namespace {

bool NeedsLiteral(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u == '\r' || u == '\n' || u == 0 || u >= 0x80) return true;
  }
  return false;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// "{n}" at the end of a line: n, else -1.
long long LiteralSize(std::string_view line) {
  if (line.size() < 3 || line.back() != '}') return -1;
  std::size_t open = line.rfind('{');
  if (open == std::string_view::npos || open + 2 >= line.size()) return -1;
  long long n = 0;
  for (char c : line.substr(open + 1, line.size() - open - 2)) {
    if (c < '0' || c > '9' || n > 100000000) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// A message number or count: 1 to 10 decimal digits, at most INT32_MAX.
bool ParseNumber(std::string_view text, std::int32_t* n) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT32_MAX) return false;
  *n = static_cast<std::int32_t>(v);
  return true;
}

// Whether an untagged FETCH response carries a BODY[...] section (the
// header fields asked for), not only flags or other data items.
bool HasBodySection(std::string_view line) {
  for (std::size_t i = 0; i + 5 <= line.size(); ++i) {
    std::string_view w = line.substr(i, 5);
    if ((w[0] == 'B' || w[0] == 'b') && (w[1] == 'O' || w[1] == 'o') &&
        (w[2] == 'D' || w[2] == 'd') && (w[3] == 'Y' || w[3] == 'y') && w[4] == '[') {
      return true;
    }
  }
  return false;
}

class Imap4Client final : public Imap4Component {
 public:
  explicit Imap4Client(Imap4ClientOptions o) : options_(o) {}
  ~Imap4Client() override = default;  // closes without LOGOUT or EXPUNGE

  void SetEvents(ComponentEvents* e) override {
    events_ = e;
    conn_.SetEvents(e);
  }
  bool Connected() const override { return connected_ && conn_.IsOpen(); }
  Status SetConfig(std::string_view text) override {
    bool v6 = false;
    if (!ParseIpv6Config(text, &v6)) {
      return Report(Status::Error("unknown configuration \"" + ReplyText(text) + "\"",
                                  kErrorConfig));
    }
    ipv6_ = v6;
    return Status::Ok();
  }
  void SetMailPort(std::int32_t p) override { port_ = p; }
  void SetMailServer(std::string_view h) override { host_ = h; }
  void SetUser(std::string_view u) override { user_ = u; }
  void SetPassword(std::string_view p) override { password_ = p; }
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
  void SetTimeout(std::int16_t s) override { conn_.SetTimeout(s); }
  Status Connect() override;
  void SetMailbox(std::string_view q) override {
    if (q.size() >= 2 && q.front() == '"' && q.back() == '"') q = q.substr(1, q.size() - 2);
    mailbox_ = q;
  }
  Status SelectMailbox() override;
  Status MessageCount(std::int32_t* count) override {
    Status s = Require();
    if (!s.ok()) return Report(s);
    *count = exists_;
    return Status::Ok();
  }
  Status SetMessageSet(std::string_view set) override {
    set_ = set;
    return Status::Ok();
  }
  Status FetchHeaders() override { return FetchSet(set_, INT32_MAX, nullptr); }
  Status FetchMessageInfo() override { return FetchSet(set_, INT32_MAX, nullptr); }
  std::string Subject() const override { return subject_; }
  Status DeleteFromMailbox() override { return Store(set_); }
  Status FetchEach(std::int32_t count,
                   const std::function<bool(std::int32_t, std::string_view)>& decide) override;
  Status Expunge() override { return Simple("EXPUNGE"); }
  Status Disconnect() override;

 private:
  using Untagged = std::function<Status(std::string_view line)>;
  Status Report(Status s) {
    if (!s.ok() && events_ != nullptr) events_->OnError(s.code(), s.message());
    return s;
  }
  Status Drop(Status s) {
    conn_.Close();
    connected_ = false;
    return Report(std::move(s));
  }
  Status Require() const {
    if (connected_ && conn_.IsOpen()) return Status::Ok();
    return Status::Error("not connected", kErrorState);
  }
  Status Send(const std::string& line) {
    if (events_ != nullptr) events_->OnTrail(TrailDirection::kSent, mask_.Sent(line));
    return conn_.Write(line + "\r\n");
  }
  Status ReadLine(std::string* line) {
    Status s = conn_.ReadLine(line);
    if (!s.ok()) return s;
    mask_.Received(*line);
    if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, *line);
    return Status::Ok();
  }
  // Reads lines to the tagged reply of tag; untagged lines (with their
  // literal, line by line, when literal_line is set) go to the handlers.
  Status ReadTagged(const std::string& tag, const Untagged& untagged,
                    const std::function<void(std::string_view)>& literal_line);
  Status Run(const std::string& command, const Untagged& untagged = nullptr,
             const std::function<void(std::string_view)>& literal_line = nullptr) {
    std::string tag = "a" + std::to_string(++tag_);
    Status s = Send(tag + " " + command);
    if (!s.ok()) return s;
    return ReadTagged(tag, untagged, literal_line);
  }
  Status Simple(const std::string& command) {
    Status s = Require();
    if (!s.ok()) return Report(s);
    s = Run(command);
    if (!s.ok()) return s.code() == kErrorServer ? Report(s) : Drop(s);
    return Status::Ok();
  }
  Status Capabilities();
  // FETCH of the header fields over set; only messages 1..limit are
  // examined, in ascending order.
  Status FetchSet(const std::string& set, std::int32_t limit,
                  const std::function<bool(std::int32_t, std::string_view)>* decide);
  Status Store(const std::string& set) {
    if (set.empty()) return Status::Ok();
    return Simple("STORE " + set + " +FLAGS.SILENT (\\Deleted)");
  }

  Imap4ClientOptions options_;
  ComponentEvents* events_ = nullptr;
  Connection conn_;
  TrailMask mask_;
  bool ipv6_ = false, connected_ = false, starttls_ = false;
  std::int32_t port_ = 143, exists_ = 0;
  int ssl_mode_ = 0, tag_ = 0;
  LoginMethod login_ = LoginMethod::kPassword;
  std::string token_;
  std::string host_, user_, password_, mailbox_, set_, subject_;
};

Status Imap4Client::ReadTagged(const std::string& tag, const Untagged& untagged,
                               const std::function<void(std::string_view)>& literal_line) {
  std::string line;
  for (;;) {
    Status s = ReadLine(&line);
    if (!s.ok()) return s;
    if (line.rfind(tag + " ", 0) == 0) {
      std::string_view rest = std::string_view(line).substr(tag.size() + 1);
      if (rest.rfind("OK", 0) == 0) return Status::Ok();
      return Status::Error(ReplyText(line), kErrorServer);
    }
    long long n = LiteralSize(line);
    if (untagged) {
      s = untagged(line);
      if (!s.ok()) return s;
    }
    while (n >= 0) {
      std::size_t remaining = static_cast<std::size_t>(n);
      std::string lit;
      while (remaining > 0) {
        s = conn_.ReadLineWithin(&remaining, &lit);
        if (!s.ok()) return s;
        if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, lit);
        if (literal_line) literal_line(lit);
      }
      s = ReadLine(&line);  // the rest of the response after the literal
      if (!s.ok()) return s;
      n = LiteralSize(line);
    }
  }
}

Status Imap4Client::Capabilities() {
  starttls_ = false;
  return Run("CAPABILITY", [this](std::string_view l) {
    if (l.rfind("* CAPABILITY", 0) == 0 && l.find(" STARTTLS") != std::string_view::npos) {
      starttls_ = true;
    }
    return Status::Ok();
  });
}

Status Imap4Client::Connect() {
  conn_.Close();
  connected_ = false;
  mask_.Reset();
  bool implicit = ssl_mode_ == 0 && port_ == options_.implicit_tls_port;
  Status s = conn_.Open(host_, port_, ipv6_);
  if (s.ok() && implicit) s = conn_.StartTls(host_);
  std::string line;
  if (s.ok()) s = ReadLine(&line);
  if (s.ok() && line.rfind("* OK", 0) != 0 && line.rfind("* PREAUTH", 0) != 0) {
    s = Status::Error(line.rfind("* BYE", 0) == 0 ? ReplyText(line)
                                                   : "unexpected greeting \"" + ReplyText(line) + "\"",
                      kErrorServer);
  }
  if (s.ok()) s = Capabilities();
  if (s.ok() && ssl_mode_ == 0 && !implicit) {
    if (!starttls_) {
      s = Status::Error("server does not offer STARTTLS; TLS is required", kErrorServer);
    } else {
      s = Run("STARTTLS");
      if (s.ok()) s = conn_.StartTls(host_);
      if (s.ok()) s = Capabilities();
    }
  }
  if (s.ok()) {
    std::string tag = "a" + std::to_string(++tag_);
    std::string head = tag + " LOGIN " +
                       (NeedsLiteral(user_) ? Quote("") : Quote(user_)) + " ";
    if (NeedsLiteral(user_)) s = Status::Error("user name cannot be sent", kErrorConfig);
    if (s.ok() && NeedsLiteral(password_)) {
      s = Send(head + "{" + std::to_string(password_.size()) + "}");
      if (s.ok()) s = ReadLine(&line);
      if (s.ok() && line.rfind("+", 0) != 0) s = Status::Error(ReplyText(line), kErrorServer);
      if (s.ok()) s = Send(password_);
    } else if (s.ok()) {
      s = Send(head + Quote(password_));
    }
    if (s.ok()) s = ReadTagged(tag, nullptr, nullptr);
  }
  if (!s.ok()) return Drop(s);
  connected_ = true;
  return Status::Ok();
}

Status Imap4Client::SelectMailbox() {
  Status s = Require();
  if (!s.ok()) return Report(s);
  exists_ = 0;
  bool seen = false;
  std::string arg = NeedsLiteral(mailbox_) ? std::string() : Quote(mailbox_);
  if (arg.empty()) return Report(Status::Error("mailbox name cannot be sent", kErrorConfig));
  s = Run("SELECT " + arg, [&](std::string_view l) {
    if (l.size() > 9 && l.substr(l.size() - 7) == " EXISTS" && l.rfind("* ", 0) == 0) {
      if (!ParseNumber(l.substr(2, l.size() - 9), &exists_)) {
        return Status::Error("malformed EXISTS \"" + ReplyText(l) + "\"", kErrorProtocol);
      }
      seen = true;
    }
    return Status::Ok();
  });
  if (!s.ok()) return s.code() == kErrorServer ? Report(s) : Drop(s);
  if (!seen) return Drop(Status::Error("SELECT reply without EXISTS", kErrorProtocol));
  return Status::Ok();
}

Status Imap4Client::FetchSet(const std::string& set, std::int32_t limit,
                             const std::function<bool(std::int32_t, std::string_view)>* decide) {
  Status s = Require();
  if (!s.ok()) return Report(s);
  std::vector<std::int32_t> chosen;
  std::int32_t current = 0;
  std::string subject;
  bool open = false;
  HeaderParser parser([&](std::string_view n, std::string_view v) {
    if (events_ != nullptr) events_->OnHeader(n, v);
    if (n.size() == 7 && (n[0] == 'S' || n[0] == 's')) subject = v;
  });
  auto finish = [&]() {
    if (!open) return;
    open = false;
    parser.Finish();
    subject_ = subject;
    if (decide != nullptr && (*decide)(current, subject)) chosen.push_back(current);
  };
  s = Run("FETCH " + set + " (BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])",
          [&](std::string_view l) {
            std::size_t sp = l.find(' ', 2);
            if (l.rfind("* ", 0) != 0 || sp == std::string_view::npos ||
                l.substr(sp, 7) != " FETCH ") {
              return Status::Ok();
            }
            // A new response ends the literal of the message before it.
            finish();
            std::int32_t n = 0;
            if (!ParseNumber(l.substr(2, sp - 2), &n) || n < 1) {
              return Status::Error("malformed FETCH \"" + ReplyText(l) + "\"", kErrorProtocol);
            }
            // Flag updates, repeats and numbers beyond the set are not
            // messages to examine: deciding on them could flag a message
            // whose header was never read.
            if (!HasBodySection(l) || n <= current || n > limit) return Status::Ok();
            current = n;
            subject.clear();
            parser.Reset();
            open = true;
            return Status::Ok();
          },
          [&](std::string_view lit) {
            if (open && !parser.done()) parser.AddLine(lit);
          });
  if (!s.ok()) return s.code() == kErrorServer ? Report(s) : Drop(s);
  finish();
  if (decide == nullptr) return Status::Ok();
  // Ranges of consecutive numbers keep the STORE line short.
  std::string ranges;
  for (std::size_t i = 0; i < chosen.size();) {
    std::size_t j = i;
    while (j + 1 < chosen.size() && chosen[j + 1] == chosen[j] + 1) ++j;
    if (!ranges.empty()) ranges += ',';
    ranges += std::to_string(chosen[i]);
    if (j > i) ranges += ":" + std::to_string(chosen[j]);
    i = j + 1;
  }
  return Store(ranges);
}

Status Imap4Client::FetchEach(
    std::int32_t count, const std::function<bool(std::int32_t, std::string_view)>& decide) {
  if (count <= 0) return Require().ok() ? Status::Ok() : Report(Require());
  return FetchSet("1:" + std::to_string(count), count, &decide);
}

Status Imap4Client::Disconnect() {
  if (!conn_.IsOpen()) {
    connected_ = false;
    return Status::Ok();
  }
  Status s = Run("LOGOUT");
  conn_.Close();
  connected_ = false;
  return Report(s);
}

}  // namespace

std::unique_ptr<Imap4Component> NewImap4Client(Imap4ClientOptions options) {
  return std::make_unique<Imap4Client>(options);
}

}  // namespace tessaly
