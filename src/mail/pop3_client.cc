#include "mail/pop3_client.h"

#include <deque>
#include <string>

#include "mail/connection.h"
#include "mail/header_parser.h"
#include "mail/pop3_reply.h"
#include "mail/trail_mask.h"

namespace tessaly {
namespace {

// Commands in flight at most while pipelining. Header-only replies (TOP n 0)
// are small, so many can be in flight; whole messages (RETR) keep a small
// window so that neither side's buffers can fill. The window is refilled
// once half of it has been answered, so a fetch phase writes about once per
// half window instead of once per reply.
constexpr std::size_t kTopWindow = 512;
constexpr std::size_t kWindow = 32;

class Pop3Client final : public Pop3Component {
 public:
  explicit Pop3Client(Pop3ClientOptions options) : options_(options) {}

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
  Status SetSslStartMode(int mode) override {
    if (mode != 0 && mode != 3) {
      return Report(Status::Error("unknown SSL start mode " + std::to_string(mode),
                                  kErrorConfig));
    }
    ssl_mode_ = mode;
    return Status::Ok();
  }
  void SetTimeout(std::int16_t seconds) override { conn_.SetTimeout(seconds); }

  Status Connect() override;
  Status MessageCount(std::int32_t* count) override;
  Status SetMessageNumber(std::int32_t number) override {
    if (number < 1) {
      return Report(Status::Error("invalid message number " + std::to_string(number),
                                  kErrorConfig));
    }
    number_ = number;
    return Status::Ok();
  }
  Status Retrieve() override;
  Status Delete() override;
  Status RetrieveEach(std::int32_t count,
                      const std::function<bool(std::int32_t)>& decide) override;
  Status DeleteEach(std::int32_t count) override;
  Status Disconnect() override;

 private:
  enum class Kind { kTop, kRetr, kDele };
  struct Pending {
    Kind kind;
    std::int32_t number;
  };

  Status Report(Status s) {
    if (!s.ok() && events_ != nullptr) events_->OnError(s.code(), s.message());
    return s;
  }
  // Drops the connection after a failure: without QUIT the server rolls
  // the marks back.
  Status Drop(Status s) {
    conn_.Close();
    connected_ = false;
    return Report(std::move(s));
  }
  Status RequireConnected() const {
    if (connected_ && conn_.IsOpen()) return Status::Ok();
    return Status::Error("not connected", kErrorState);
  }
  Status Send(const std::string& line);
  Status ReadLine(std::string* line);
  // Reads a status line; -ERR becomes an error carrying the reply text.
  Status ReadStatus(std::string* line);
  Status Command(const std::string& line, std::string* reply);
  // Reads a multi-line body to its final "."; feeds the header part to
  // OnHeader when parse is set, reads and drops the rest.
  Status ReadMessage(bool parse);
  std::string CommandText(Kind kind, std::int32_t n) const;
  Status RunBatch(std::int32_t count, const std::function<bool(std::int32_t)>* decide);

  Pop3ClientOptions options_;
  ComponentEvents* events_ = nullptr;
  Connection conn_;
  TrailMask mask_;
  bool ipv6_ = false;
  std::int32_t port_ = 110;
  std::string host_, user_, password_;
  int ssl_mode_ = 0;
  bool connected_ = false;
  Pop3Capabilities caps_;
  bool top_failed_ = false;
  std::int32_t number_ = 1;
};

Status Pop3Client::Send(const std::string& line) {
  if (events_ != nullptr) events_->OnTrail(TrailDirection::kSent, mask_.Sent(line));
  return conn_.Write(line + "\r\n");
}

Status Pop3Client::ReadLine(std::string* line) {
  Status s = conn_.ReadLine(line);
  if (!s.ok()) return s;
  mask_.Received(*line);
  if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, *line);
  return Status::Ok();
}

Status Pop3Client::ReadStatus(std::string* line) {
  Status s = ReadLine(line);
  if (!s.ok()) return s;
  switch (ClassifyPop3Status(*line)) {
    case Pop3Status::kOk:
      return Status::Ok();
    case Pop3Status::kErr:
      return Status::Error(ReplyText(*line), kErrorServer);
    case Pop3Status::kInvalid:
      break;
  }
  return Status::Error("unexpected reply \"" + ReplyText(*line) + "\"", kErrorProtocol);
}

Status Pop3Client::Command(const std::string& line, std::string* reply) {
  Status s = Send(line);
  if (!s.ok()) return s;
  return ReadStatus(reply);
}

Status Pop3Client::ReadMessage(bool parse) {
  HeaderParser parser([this](std::string_view name, std::string_view value) {
    if (events_ != nullptr) events_->OnHeader(name, value);
  });
  std::string line;
  for (;;) {
    Status s = ReadLine(&line);
    if (!s.ok()) return s;
    if (line == ".") break;
    std::string_view data(line);
    if (!data.empty() && data.front() == '.') data.remove_prefix(1);  // dot-stuffing
    if (parse && !parser.done()) parser.AddLine(data);
  }
  if (parse) parser.Finish();
  return Status::Ok();
}

Status Pop3Client::Connect() {
  conn_.Close();
  connected_ = false;
  mask_.Reset();
  caps_ = Pop3Capabilities();
  top_failed_ = false;
  bool implicit = ssl_mode_ == 0 && port_ == options_.implicit_tls_port;
  Status s = conn_.Open(host_, port_, ipv6_);
  if (s.ok() && implicit) s = conn_.StartTls(host_);
  std::string line;
  if (s.ok()) s = ReadStatus(&line);
  auto read_caps = [&]() -> Status {
    Status c = Send("CAPA");
    if (!c.ok()) return c;
    c = ReadStatus(&line);
    if (!c.ok()) return c.code() == kErrorServer ? Status::Ok() : c;
    caps_ = Pop3Capabilities();
    for (;;) {
      c = ReadLine(&line);
      if (!c.ok() || line == ".") return c;
      caps_.Add(line);
    }
  };
  if (s.ok()) s = read_caps();
  if (s.ok() && ssl_mode_ == 0 && !implicit) {
    if (!caps_.stls) {
      s = Status::Error("server does not offer STLS; TLS is required", kErrorServer);
    } else {
      s = Command("STLS", &line);
      if (s.ok()) s = conn_.StartTls(host_);
      if (s.ok()) s = read_caps();
    }
  }
  if (s.ok()) s = Command("USER " + user_, &line);
  if (s.ok()) s = Command("PASS " + password_, &line);
  if (!s.ok()) return Drop(s);
  connected_ = true;
  return Status::Ok();
}

Status Pop3Client::MessageCount(std::int32_t* count) {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  std::string line;
  s = Command("STAT", &line);
  if (!s.ok()) return Drop(s);
  if (!ParseStat(line, count)) {
    return Drop(Status::Error("malformed STAT reply \"" + ReplyText(line) + "\"",
                              kErrorProtocol));
  }
  return Status::Ok();
}

std::string Pop3Client::CommandText(Kind kind, std::int32_t n) const {
  switch (kind) {
    case Kind::kTop:
      return "TOP " + std::to_string(n) + " 0";
    case Kind::kRetr:
      return "RETR " + std::to_string(n);
    case Kind::kDele:
      break;
  }
  return "DELE " + std::to_string(n);
}

Status Pop3Client::Retrieve() {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  return RunBatch(-number_, nullptr);
}

Status Pop3Client::Delete() {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  std::string line;
  s = Command("DELE " + std::to_string(number_), &line);
  if (!s.ok()) return s.code() == kErrorServer ? Report(s) : Drop(s);
  return Status::Ok();
}

// count > 0: messages 1..count, decided by *decide (nullptr: delete all,
// no fetch). count < 0: fetch only message -count, no decision.
Status Pop3Client::RunBatch(std::int32_t count,
                            const std::function<bool(std::int32_t)>* decide) {
  bool fetch = count < 0 || decide != nullptr;
  std::int32_t first = count < 0 ? -count : 1;
  std::int32_t last = count < 0 ? -count : count;
  auto current_window = [&] {
    if (!caps_.pipelining) return std::size_t{1};
    return !fetch || (caps_.top && !top_failed_) ? kTopWindow : kWindow;
  };
  std::deque<Pending> queue;     // to send, in order
  std::deque<Pending> inflight;  // sent, reply not read yet
  std::int32_t next = first;     // next message to fetch (or delete)
  std::string line;
  // While a TOP failed and in-flight replies are drained, nothing new is sent.
  bool draining = false;
  std::int32_t restart = 0;
  for (;;) {
    // Fill the window: queued DELEs first, then the next fetches.
    std::string batch;
    const std::size_t window = current_window();
    const bool refill = inflight.size() <= window / 2;
    while (refill && !draining && inflight.size() < window) {
      Pending p;
      if (!queue.empty()) {
        p = queue.front();
        queue.pop_front();
      } else if (next <= last) {
        Kind kind = !fetch ? Kind::kDele
                           : (caps_.top && !top_failed_ ? Kind::kTop : Kind::kRetr);
        p = Pending{kind, next++};
      } else {
        break;
      }
      std::string text = CommandText(p.kind, p.number);
      if (events_ != nullptr) events_->OnTrail(TrailDirection::kSent, text);
      batch += text + "\r\n";
      inflight.push_back(p);
    }
    if (!batch.empty()) {
      Status w = conn_.Write(batch);
      if (!w.ok()) return Drop(w);
    }
    if (inflight.empty()) {
      if (draining) {
        draining = false;
        next = restart;
        continue;
      }
      return Status::Ok();
    }
    Pending p = inflight.front();
    inflight.pop_front();
    Status s = ReadStatus(&line);
    if (!s.ok() && s.code() != kErrorServer) return Drop(s);
    if (p.kind == Kind::kDele) {
      if (!s.ok()) return Drop(s);
      continue;
    }
    if (!s.ok()) {
      if (p.kind == Kind::kTop && !draining) {
        // TOP refused: fetch from this message on with RETR, after the
        // replies already on their way are read and dropped.
        top_failed_ = true;
        draining = true;
        restart = p.number;
        continue;
      }
      if (p.kind == Kind::kTop) continue;  // dropped anyway while draining
      return Drop(s);
    }
    bool use = !draining;
    s = ReadMessage(use);
    if (!s.ok()) return Drop(s);
    if (use && decide != nullptr && (*decide)(p.number)) {
      queue.push_back(Pending{Kind::kDele, p.number});
    }
  }
}

Status Pop3Client::RetrieveEach(std::int32_t count,
                                const std::function<bool(std::int32_t)>& decide) {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  if (count <= 0) return Status::Ok();
  return RunBatch(count, &decide);
}

Status Pop3Client::DeleteEach(std::int32_t count) {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  if (count <= 0) return Status::Ok();
  return RunBatch(count, nullptr);
}

Status Pop3Client::Disconnect() {
  if (!conn_.IsOpen()) {
    connected_ = false;
    return Status::Ok();
  }
  std::string line;
  Status s = Command("QUIT", &line);
  conn_.Close();
  connected_ = false;
  return Report(s);
}

}  // namespace

std::unique_ptr<Pop3Component> NewPop3Client(Pop3ClientOptions options) {
  return std::make_unique<Pop3Client>(options);
}

}  // namespace tessaly
