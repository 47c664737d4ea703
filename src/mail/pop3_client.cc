#include "mail/pop3_client.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "env/base64.h"
#include "mail/command_value.h"
#include "mail/connection.h"
#include "mail/header_parser.h"
#include "mail/mailbox_client_base.h"
#include "mail/pop3_reply.h"
#include "mail/tls_connect.h"
#include "mail/trail_mask.h"

namespace tessaly {
namespace {

// While pipelining, the client writes only what the socket takes and reads
// replies while the rest waits, so replies never pile up in memory however
// many commands are in flight. The window caps the queue of replies still
// owed; it is refilled once half of it has been answered. Commands are
// generated at most kAhead bytes ahead of the socket. Decided deletions are
// held back and sent together once no fetch is waiting for its reply (or
// when kHeld of them wait), so a fetch phase writes a fixed number of times
// however many messages the mailbox holds.
//
// Keeping the dialogue in step. POP3 replies carry no tag: the client can
// tell which command a reply answers only by its place in the stream. One
// stray line from the server, or one reply left out, shifts every later
// reply by one, and a client that went on would decide a message on
// another message's header and commit that with QUIT. No single reply can
// prove its place, so the client checks what it can, hangs up without QUIT
// (the server then rolls every mark back) at the first reply that cannot
// be matched to its command, and commits only a dialogue shown in step:
// - where a status line is owed, anything but "+OK" or "-ERR" is an error;
//   so is a status line inside the header block of a TOP or RETR reply or
//   inside a CAPA list: a reply began where none was owed;
// - once every reply owed was read, nothing more may have arrived (a stray
//   line mostly travels with the reply before it);
// - "-ERR" where a header block is owed may be a refused TOP or a stray
//   line, and "+OK" where a DELE's reply is owed may belong to any reply.
//   So a refused TOP, and QUIT whenever a DELE was sent, wait for a sync
//   point: STAT alone in its flight, answered by "+OK <n> <size>" with n
//   the messages not marked, and nothing after it. A shifted stream
//   answers it with part of another reply;
// - a DELE goes out only after the reply it was decided on was read and
//   checked, and QUIT goes alone, after the sync point.
// A reply left out leaves the client waiting for the last one it is owed:
// that wait ends with the time-out, without QUIT.
constexpr std::size_t kWindow = 16384;
constexpr std::size_t kAhead = 64 * 1024;
constexpr std::size_t kHeld = 4096;

class Pop3Client final : public MailboxClientBase<Pop3Component> {
 public:
  explicit Pop3Client(Pop3ClientOptions options) : MailboxClientBase(110), options_(options) {
    conn_.SetSendBuffer(options.send_buffer);
  }

  Status Connect() override;
  // AUTH with the OAuth mechanism chosen from the CAPA SASL list (RFC 5034).
  Status SaslLogin();
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
    std::uint64_t end;  // offset just past its bytes in the command stream
  };

  Status Send(const std::string& line);
  Status ReadLine(std::string* line);
  // Reads a status line; -ERR becomes an error carrying the reply text.
  Status ReadStatus(std::string* line);
  // One command alone in its flight: its status reply, and nothing after.
  Status Command(const std::string& line, std::string* reply);
  // An error unless nothing arrived beyond the replies read so far.
  Status NothingUnread();
  // The sync point: STAT alone, its reply the count of unmarked messages.
  Status Sync();
  // Reads a multi-line body to its final "."; feeds the header part to
  // OnHeader when parse is set, reads and drops the rest. A status line in
  // the header part is a reply out of place.
  Status ReadMessage(bool parse);
  std::string CommandText(Kind kind, std::int32_t n) const;
  Status RunBatch(std::int32_t count, const std::function<bool(std::int32_t)>* decide);

  Pop3ClientOptions options_;
  TrailMask mask_;
  Pop3Capabilities caps_;
  bool top_failed_ = false;
  std::int32_t number_ = 1;
  // Messages not marked deleted, from the last STAT on (-1: not known).
  std::int32_t live_ = -1;
  bool dele_sent_ = false;  // on this connection: QUIT needs a sync point
};

Status Unexpected(std::string_view line) {
  return Status::Error("unexpected reply \"" + ReplyText(line) + "\"", kErrorProtocol);
}

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
  return Unexpected(*line);
}

Status Pop3Client::Command(const std::string& line, std::string* reply) {
  Status s = Send(line);
  if (!s.ok()) return s;
  s = ReadStatus(reply);
  if (!s.ok() && s.code() != kErrorServer) return s;
  Status u = NothingUnread();
  return u.ok() ? s : u;
}

Status Pop3Client::NothingUnread() {
  std::string bytes;
  Status s = conn_.TakeUnread(&bytes);
  if (!s.ok() || bytes.empty()) return s;
  std::string_view first(bytes);
  first = first.substr(0, first.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, first);
  return Unexpected(first);
}

Status Pop3Client::Sync() {
  std::string line;
  Status s = Command("STAT", &line);
  if (!s.ok()) return s.code() == kErrorServer ? Unexpected(line) : s;
  std::int32_t count = 0;
  if (!ParseStat(line, &count) || (live_ >= 0 && count != live_)) return Unexpected(line);
  live_ = count;
  return Status::Ok();
}

Status Pop3Client::ReadMessage(bool parse) {
  HeaderParser parser([this, parse](std::string_view name, std::string_view value) {
    if (parse && events_ != nullptr) events_->OnHeader(name, value);
  });
  std::string line;
  for (;;) {
    Status s = ReadLine(&line);
    if (!s.ok()) return s;
    if (line == ".") break;
    if (parser.done()) continue;
    if (ClassifyPop3Status(line) != Pop3Status::kInvalid) return Unexpected(line);
    std::string_view data(line);
    if (!data.empty() && data.front() == '.') data.remove_prefix(1);  // dot-stuffing
    parser.AddLine(data);
  }
  parser.Finish();
  return Status::Ok();
}

Status Pop3Client::Connect() {
  conn_.Close();
  connected_ = false;
  mask_.Reset();
  caps_ = Pop3Capabilities();
  top_failed_ = false;
  live_ = -1;
  dele_sent_ = false;
  // Checked before anything is sent: USER and PASS carry these as they are.
  if (!FitsInCommandLine(user_)) {
    return Drop(Status::Error("user name cannot be sent", kErrorConfig));
  }
  if (!FitsInCommandLine(password_)) {
    return Drop(Status::Error("password cannot be sent", kErrorConfig));
  }
  if (!FitsInCommandLine(token_)) {
    return Drop(Status::Error("access token cannot be sent", kErrorConfig));
  }
  TlsStart tls = TlsStart::kNone;
  Status s = OpenMailConnection(&conn_, host_, port_, ipv6_, ssl_mode_ == 0,
                                {options_.implicit_tls_port, options_.starttls_port}, &tls);
  std::string line;
  if (s.ok()) s = ReadStatus(&line);
  if (s.ok()) s = NothingUnread();
  // Capabilities read before STLS no longer hold after it (RFC 2595).
  auto read_caps = [&]() -> Status {
    caps_ = Pop3Capabilities();
    Status c = Send("CAPA");
    if (!c.ok()) return c;
    c = ReadStatus(&line);
    if (!c.ok()) return c.code() == kErrorServer ? NothingUnread() : c;
    for (;;) {
      c = ReadLine(&line);
      if (!c.ok()) return c;
      if (line == ".") return NothingUnread();
      if (ClassifyPop3Status(line) != Pop3Status::kInvalid) return Unexpected(line);
      caps_.Add(line);
    }
  };
  if (s.ok()) s = read_caps();
  if (s.ok() && tls == TlsStart::kUpgrade) {
    if (!caps_.stls) {
      s = Status::Error("server does not offer STLS; TLS is required", kErrorServer);
    } else {
      s = Command("STLS", &line);
      if (s.ok()) s = conn_.StartTls(host_);
      if (s.ok()) s = read_caps();
    }
  }
  // A server that offers STLS but lists no USER takes no login in clear
  // (RFC 2595): the password stays off a plain connection.
  if (login_ != LoginMethod::kPassword) {
    if (s.ok()) s = SaslLogin();
  } else {
    if (s.ok() && !conn_.IsTls() && caps_.stls && !caps_.user) {
      s = Status::Error("server refuses login without TLS; turn SSL on", kErrorServer);
    }
    if (s.ok()) s = Command("USER " + user_, &line);
    if (s.ok()) s = Command("PASS " + password_, &line);
  }
  if (!s.ok()) return Drop(s);
  connected_ = true;
  return Status::Ok();
}

Status Pop3Client::SaslLogin() {
  LoginMethod mech = LoginMethod::kPassword;
  Status s = ChooseMechanism(login_, caps_.sasl, caps_.sasl_listed, &mech);
  if (!s.ok()) return Status::Error(s.message(), kErrorServer);
  const std::string name(MechanismName(mech));
  const std::string response =
      Base64Encode(OAuthInitialResponse(mech, user_, token_, host_, port_));
  // The initial response goes on the command line only when the line,
  // CRLF included, stays within 255 octets; else after the "+".
  const std::string with_response = "AUTH " + name + " " + response;
  std::string line;
  bool sent = false;
  auto dropped = [&](const Status& st) {
    if (!sent || st.code() != kErrorTransport ||
        st.message().find("timed out") != std::string::npos) {
      return st;
    }
    return Status::Error(OAuthDroppedText(mech, response.size()), kErrorServer);
  };
  if (with_response.size() + 2 <= 255) {
    s = Send(with_response);
    sent = true;
  } else {
    s = Send("AUTH " + name);
    if (s.ok()) s = ReadLine(&line);
    if (s.ok() && ClassifyPop3Status(line) == Pop3Status::kErr) {
      return Status::Error(OAuthRefusedText(mech, ReplyText(line), ""), kErrorServer);
    }
    if (s.ok() && line != "+" && line.rfind("+ ", 0) != 0) return Unexpected(line);
    if (s.ok()) {
      sent = true;
      s = Send(response);
    }
  }
  if (s.ok()) s = ReadLine(&line);
  if (!s.ok()) return dropped(s);
  std::string challenge;
  if (line == "+" || line.rfind("+ ", 0) == 0) {
    // The refusal's reason comes as a challenge the client must answer
    // before the server sends its final reply.
    challenge = DecodeChallenge(std::string_view(line).substr(std::min<std::size_t>(2, line.size())));
    s = Send(std::string(OAuthFailureAnswer(mech)));
    if (s.ok()) s = ReadLine(&line);
    if (!s.ok()) return dropped(s);
  }
  switch (ClassifyPop3Status(line)) {
    case Pop3Status::kOk:
      if (challenge.empty()) return NothingUnread();
      break;  // +OK after a failure challenge is no login to trust
    case Pop3Status::kErr:
      return Status::Error(OAuthRefusedText(mech, ReplyText(line), challenge), kErrorServer);
    case Pop3Status::kInvalid:
      break;
  }
  return Unexpected(line);
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
  live_ = *count;
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
  dele_sent_ = true;
  s = Command("DELE " + std::to_string(number_), &line);
  if (!s.ok()) return s.code() == kErrorServer ? Report(s) : Drop(s);
  if (live_ > 0) --live_;
  return Status::Ok();
}

// count > 0: messages 1..count, decided by *decide (nullptr: delete all,
// no fetch). count < 0: fetch only message -count, no decision.
Status Pop3Client::RunBatch(std::int32_t count,
                            const std::function<bool(std::int32_t)>* decide) {
  const bool fetch = count < 0 || decide != nullptr;
  const std::int32_t first = count < 0 ? -count : 1;
  const std::int32_t last = count < 0 ? -count : count;
  const bool pipelined = caps_.pipelining;
  const std::size_t window = pipelined ? kWindow : 1;
  std::deque<Pending> inflight;    // generated, reply not read yet, in order
  std::vector<std::int32_t> held;  // decided deletions not sent yet
  std::string out;                 // generated command bytes not written yet
  std::uint64_t generated = 0;     // bytes of the command stream so far
  std::uint64_t sent = 0;          // of those, written to the socket
  std::size_t fetches_inflight = 0;
  // Next message to fetch (or delete); 64 bits, as it passes a last of
  // INT32_MAX by one.
  std::int64_t next = first;
  bool filling = true;
  // While a TOP failed and in-flight replies are drained, no fetch is sent.
  bool draining = false;
  std::int32_t restart = 0;
  std::string line;
  auto add = [&](Kind kind, std::int32_t number) {
    std::string text = CommandText(kind, number);
    if (events_ != nullptr) events_->OnTrail(TrailDirection::kSent, text);
    out += text;
    out += "\r\n";
    generated += text.size() + 2;
    inflight.push_back(Pending{kind, number, generated});
    if (kind != Kind::kDele) ++fetches_inflight;
    if (kind == Kind::kDele) dele_sent_ = true;
  };
  auto may_generate = [&] {
    return filling && !draining && next <= last && inflight.size() < window &&
           out.size() < kAhead;
  };
  for (;;) {
    if (inflight.empty()) {
      // Every reply owed was read: nothing else may be waiting.
      Status u = NothingUnread();
      if (!u.ok()) return Drop(u);
      if (draining) {
        // The refused TOP may have been a stray line: go on only once the
        // sync point shows the replies in step.
        u = Sync();
        if (!u.ok()) return Drop(u);
        draining = false;
        next = restart;
      }
    }
    // Without pipelining a decided deletion goes out before the next fetch.
    if (!held.empty() && (!pipelined || fetches_inflight == 0 || held.size() >= kHeld)) {
      for (std::int32_t number : held) add(Kind::kDele, number);
      held.clear();
    }
    if (inflight.size() <= window / 2) filling = true;
    while (may_generate()) {
      add(!fetch ? Kind::kDele : (caps_.top && !top_failed_ ? Kind::kTop : Kind::kRetr),
          static_cast<std::int32_t>(next++));
    }
    if (inflight.size() >= window) filling = false;
    if (!out.empty()) {
      std::size_t written = 0;
      Status w = conn_.WriteSome(out, &written);
      if (!w.ok()) return Drop(w);
      out.erase(0, written);
      sent += written;
      // The socket took everything: generate more before reading.
      if (out.empty() && may_generate()) continue;
    }
    if (inflight.empty()) return Status::Ok();
    if (inflight.front().end > sent) {
      // The socket filled before the oldest command had left: wait for it.
      const std::size_t rest = static_cast<std::size_t>(inflight.front().end - sent);
      Status w = conn_.Write(std::string_view(out).substr(0, rest));
      if (!w.ok()) return Drop(w);
      out.erase(0, rest);
      sent += rest;
    }
    Pending p = inflight.front();
    inflight.pop_front();
    if (p.kind != Kind::kDele) --fetches_inflight;
    Status s = ReadStatus(&line);
    if (!s.ok() && s.code() != kErrorServer) return Drop(s);
    if (p.kind == Kind::kDele) {
      if (!s.ok()) return Drop(s);
      if (live_ > 0) --live_;
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
    if (use && decide != nullptr && (*decide)(p.number)) held.push_back(p.number);
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
  // QUIT commits the marks: only after a sync point shows every reply in
  // step, and alone in its flight.
  if (dele_sent_) {
    Status s = Sync();
    if (!s.ok()) return Drop(s);
  }
  std::string line;
  Status s = Send("QUIT");
  if (s.ok()) s = ReadStatus(&line);
  conn_.Close();
  connected_ = false;
  return Report(s);
}

}  // namespace

std::unique_ptr<Pop3Component> NewPop3Client(Pop3ClientOptions options) {
  return std::make_unique<Pop3Client>(options);
}

}  // namespace tessaly
