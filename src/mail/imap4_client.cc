#include "mail/imap4_client.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "env/base64.h"
#include "mail/command_value.h"
#include "mail/connection.h"
#include "mail/header_parser.h"
#include "mail/mailbox_client_base.h"
#include "mail/tls_connect.h"
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

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
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

// 1 to 10 decimal digits, at most max.
bool ParseDecimal(std::string_view text, long long max, long long* n) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  *n = v;
  return true;
}

// A message number or count: at most INT32_MAX.
bool ParseNumber(std::string_view text, std::int32_t* n) {
  long long v = 0;
  if (!ParseDecimal(text, INT32_MAX, &v)) return false;
  *n = static_cast<std::int32_t>(v);
  return true;
}

// Whether an untagged FETCH response carries a BODY[...] section (the
// header fields asked for), not only flags or other data items.
bool HasBodySection(std::string_view line) {
  for (std::size_t i = 0; i + 5 <= line.size(); ++i) {
    if (IStartsWith(line.substr(i), "BODY[")) return true;
  }
  return false;
}

// The capabilities the client acts on.
struct Capabilities {
  bool starttls = false;
  bool logindisabled = false;
  bool uidplus = false;
  bool literal_plus = false;      // LITERAL+: literals of any size without waiting
  bool literal_minus = false;     // LITERAL-: the same up to 4096 bytes
  bool sasl_ir = false;           // SASL-IR: initial response on the command line
  std::vector<std::string> auth;  // the AUTH= mechanisms
};

// Adds the atoms of a capability list ("IMAP4rev1 STARTTLS ...") to *caps.
void AddCapabilities(std::string_view list, Capabilities* caps) {
  while (!list.empty()) {
    std::size_t sp = list.find(' ');
    std::string_view atom = list.substr(0, sp);
    if (IEquals(atom, "STARTTLS")) caps->starttls = true;
    if (IEquals(atom, "LOGINDISABLED")) caps->logindisabled = true;
    if (IEquals(atom, "UIDPLUS")) caps->uidplus = true;
    if (IEquals(atom, "LITERAL+")) caps->literal_plus = true;
    if (IEquals(atom, "LITERAL-")) caps->literal_minus = true;
    if (IEquals(atom, "SASL-IR")) caps->sasl_ir = true;
    if (IStartsWith(atom, "AUTH=")) caps->auth.emplace_back(atom.substr(5));
    if (sp == std::string_view::npos) break;
    list.remove_prefix(sp + 1);
  }
}

// The list of a "[CAPABILITY ...]" response code at the start of text (what
// follows "* OK " or "a2 OK "); false when text starts with no such code.
bool CapabilityCode(std::string_view text, std::string_view* list) {
  constexpr std::string_view kCode = "[CAPABILITY ";
  if (!IStartsWith(text, kCode)) return false;
  std::size_t close = text.find(']');
  if (close == std::string_view::npos) return false;
  *list = text.substr(kCode.size(), close - kCode.size());
  return true;
}

// The UID data item in one piece of a FETCH response (the text around its
// literals): the atom UID after "(" or a blank, outside [...] and quoted
// strings, and its number. 0 when the piece holds none, -1 when the
// number is not a valid UID (1 to 4294967295).
long long FindUid(std::string_view text) {
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    if (c == '[') ++depth;
    if (c == ']' && depth > 0) --depth;
    if (depth > 0 || (c != '(' && c != ' ') || !IStartsWith(text.substr(i + 1), "UID ")) {
      continue;
    }
    std::string_view digits = text.substr(i + 5);
    std::size_t end = digits.find_first_not_of("0123456789");
    long long uid = 0;
    if (!ParseDecimal(digits.substr(0, end), 4294967295LL, &uid) || uid == 0) return -1;
    return uid;
  }
  return 0;
}

// A line of a header-fields literal as a server sends it: a field
// ("Name: value"), its continuation, or the empty line that ends the
// header. Trailing CRs do not count (some servers send CR CR LF).
enum class HeaderLine { kField, kEmpty, kOther };
HeaderLine ClassifyHeaderLine(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return HeaderLine::kEmpty;
  if (line.front() == ' ' || line.front() == '\t') return HeaderLine::kField;
  std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return HeaderLine::kOther;
  for (char c : line.substr(0, colon)) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7f) return HeaderLine::kOther;
  }
  return HeaderLine::kField;
}

// UIDs as an IMAP sequence set, sorted, with ranges of consecutive UIDs
// ("3,5:7"): a range never covers a UID that is not in the list.
template <typename Uids>
std::string UidSet(const Uids& uids) {
  std::vector<std::uint32_t> v(uids.begin(), uids.end());
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  std::string out;
  for (std::size_t i = 0; i < v.size();) {
    std::size_t j = i;
    while (j + 1 < v.size() && v[j + 1] == v[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(v[i]);
    if (j > i) out += ":" + std::to_string(v[j]);
    i = j + 1;
  }
  return out;
}

// Whether s is UTF-8 by its structure: each lead byte followed by as many
// continuation bytes as it announces.
bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto u = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    if (u >= 0xC2 && u <= 0xDF) {
      n = 1;
    } else if ((u & 0xF0) == 0xE0) {
      n = 2;
    } else if (u >= 0xF0 && u <= 0xF4) {
      n = 3;
    } else if (u >= 0x80) {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

// A header field name as an IMAP atom: printable ASCII without the
// characters that end or quote an atom.
bool IsAtom(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7f || std::string_view("(){%*\"]\\").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The UID SEARCH command that finds the messages matching any of keys
// (nested ORs, "Subject" as SUBJECT, other fields as HEADER). Values go as
// quoted strings; one with 8-bit bytes goes as a non-synchronizing literal
// (LITERAL+, or LITERAL- up to 4096 bytes) with CHARSET UTF-8, so that the
// command still travels in one piece with the SELECT. Empty when keys is
// empty or a key cannot be sent so: a value with CR, LF or NUL, 8-bit
// bytes that are not UTF-8 or without a non-synchronizing literal, a field
// name that is not an atom. Several lines are joined by CRLF.
std::string SearchCommand(const std::vector<Imap4SearchKey>& keys, const Capabilities& caps) {
  if (keys.empty()) return "";
  std::string criteria;
  bool eight_bit = false;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) criteria += "OR ";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Imap4SearchKey& k = keys[i];
    if (!IsAtom(k.field)) return "";
    if (i > 0) criteria += ' ';
    criteria += IEquals(k.field, "Subject") ? std::string("SUBJECT ") : "HEADER " + k.field + " ";
    if (!NeedsLiteral(k.value)) {
      criteria += Quote(k.value);
      continue;
    }
    if (!FitsInCommandLine(k.value) || !IsUtf8(k.value)) return "";
    const bool plus = caps.literal_plus || (caps.literal_minus && k.value.size() <= 4096);
    if (!plus) return "";
    criteria += "{" + std::to_string(k.value.size()) + "+}\r\n" + k.value;
    eight_bit = true;
  }
  return std::string(eight_bit ? "UID SEARCH CHARSET UTF-8 " : "UID SEARCH ") + criteria;
}

// What the untagged responses of one command go to. Each response arrives
// as its first line (Head); for each literal in it, the literal's lines
// (LiteralLine) and then the text after the literal (Tail); End once the
// response is complete. A non-ok status ends the command with that error.
class Responses {
 public:
  virtual ~Responses() = default;
  virtual Status Head(std::string_view line) = 0;
  virtual Status LiteralLine(std::string_view) { return Status::Ok(); }
  virtual Status Tail(std::string_view) { return Status::Ok(); }
  virtual Status End() { return Status::Ok(); }
};

// Only the first line of each response, to a function.
class HeadLines final : public Responses {
 public:
  explicit HeadLines(std::function<Status(std::string_view)> f) : f_(std::move(f)) {}
  Status Head(std::string_view line) override { return f_ ? f_(line) : Status::Ok(); }

 private:
  std::function<Status(std::string_view)> f_;
};

using Decide = std::function<bool(std::int32_t, std::string_view)>;

bool IsExpunge(std::string_view word) {
  return IEquals(word, "EXPUNGE") || IEquals(word, "EXPUNGED");
}

// An untagged EXPUNGE ("* n EXPUNGE", the number ending at sp) removed
// message n: the messages after it move down by one, the last counted one
// too, so *count drops by one when n lies within it.
Status FollowExpunge(std::string_view line, std::size_t sp, std::int32_t* count) {
  std::int32_t n = 0;
  if (!ParseNumber(line.substr(2, sp - 2), &n) || n < 1) {
    return Status::Error("malformed EXPUNGE \"" + ReplyText(line) + "\"", kErrorProtocol);
  }
  if (n <= *count) --*count;
  return Status::Ok();
}

// Reads the responses of a FETCH of the header fields. A message counts as
// examined once its response is complete and carries the header section
// and a UID; it is examined once (the first response for a UID), and only
// while its message number lies within the count the caller read, which
// an untagged EXPUNGE lowers by one. Only then do the OnHeader events of
// its fields fire, followed by decide. Everything is keyed by UID, so
// numbers that shift under an EXPUNGE cannot make a decision land on
// another message.
class FetchReader final : public Responses {
 public:
  // Fields of one message beyond this many are dropped: the reply to the
  // two fields asked for holds a few, and the fields wait in memory until
  // the response is complete.
  static constexpr std::size_t kMaxFields = 64;

  // mark and marked_uid, when set: decide sets *mark for the message it
  // decides on, and the first such message's UID goes to *marked_uid.
  FetchReader(ComponentEvents* events, std::int32_t limit, const Decide* decide,
              bool* mark = nullptr, std::uint32_t* marked_uid = nullptr)
      : events_(events), limit_(limit), decide_(decide), mark_(mark), marked_uid_(marked_uid),
        parser_([this](std::string_view n, std::string_view v) {
          if (fields_.size() < kMaxFields) fields_.emplace_back(n, v);
        }) {}

  Status Head(std::string_view line) override {
    std::size_t sp = line.find(' ', 2);
    if (line.rfind("* ", 0) != 0 || sp == std::string_view::npos) return Status::Ok();
    std::string_view rest = line.substr(sp + 1);
    std::string_view word = rest.substr(0, rest.find(' '));
    std::int32_t n = 0;
    // The decisions, held by UID, stay where they are.
    if (IsExpunge(word)) return FollowExpunge(line, sp, &limit_);
    if (!IEquals(word, "FETCH")) return Status::Ok();
    if (!ParseNumber(line.substr(2, sp - 2), &n) || n < 1) {
      return Status::Error("malformed FETCH \"" + ReplyText(line) + "\"", kErrorProtocol);
    }
    open_ = true;
    head_ = ReplyText(line);
    number_ = n;
    uid_ = 0;
    body_ = false;
    fields_.clear();
    parser_.Reset();
    return Piece(line.substr(sp));
  }

  Status LiteralLine(std::string_view line) override {
    if (!open_ || !header_literal_) return Status::Ok();
    // Header fields up to an empty line and nothing after it: anything
    // else means the literal does not end where its size said, and its
    // bytes belong to the responses after it.
    HeaderLine kind = ClassifyHeaderLine(line);
    if (after_empty_ || kind == HeaderLine::kOther) return Misplaced(line);
    if (kind == HeaderLine::kEmpty) after_empty_ = true;
    if (!parser_.done()) parser_.AddLine(line);
    return Status::Ok();
  }

  Status Tail(std::string_view text) override {
    if (!open_) return Status::Ok();
    // After a literal the response goes on with its next data item or
    // closes its list.
    if (text.empty() || (text.front() != ')' && text.front() != ' ')) return Misplaced(text);
    return Piece(text);
  }

  Status End() override {
    if (!open_) return Status::Ok();
    open_ = false;
    parser_.Finish();
    if (!body_) return Status::Ok();  // flags or other items only
    if (uid_ == 0) {
      return Status::Error("FETCH reply without UID \"" + head_ + "\"", kErrorProtocol);
    }
    if (number_ > limit_ || !examined_.insert(uid_).second) return Status::Ok();
    std::string subject;
    for (const auto& [name, value] : fields_) {
      if (events_ != nullptr) events_->OnHeader(name, value);
      if (IEquals(name, "Subject")) subject = value;
    }
    subject_ = subject;
    last_fields_ = fields_;
    uids_.push_back(uid_);
    if (decide_ != nullptr && (*decide_)(number_, subject)) chosen_.push_back(uid_);
    if (mark_ != nullptr && *mark_) {
      if (*marked_uid_ == 0) *marked_uid_ = uid_;
      *mark_ = false;
    }
    return Status::Ok();
  }

  // The count after the EXPUNGEs seen so far.
  std::int32_t limit() const { return limit_; }
  // The UIDs examined and those decide chose, in the order examined.
  const std::vector<std::uint32_t>& uids() const { return uids_; }
  const std::vector<std::uint32_t>& chosen() const { return chosen_; }
  // The subject of the last message examined.
  const std::string& subject() const { return subject_; }
  // The header fields of the last message examined.
  const std::vector<std::pair<std::string, std::string>>& last_fields() const {
    return last_fields_;
  }

 private:
  // One piece of the response's text: its UID, and whether the literal at
  // its end (if any) is the header section.
  Status Piece(std::string_view text) {
    long long uid = FindUid(text);
    if (uid < 0) return Status::Error("malformed FETCH \"" + head_ + "\"", kErrorProtocol);
    if (uid > 0 && uid_ == 0) uid_ = static_cast<std::uint32_t>(uid);
    header_literal_ = HasBodySection(text) && LiteralSize(text) >= 0;
    if (HasBodySection(text)) body_ = true;
    after_empty_ = false;
    return Status::Ok();
  }
  Status Misplaced(std::string_view text) {
    return Status::Error("FETCH literal does not end where announced: \"" + ReplyText(text) + "\"",
                         kErrorProtocol);
  }

  ComponentEvents* events_;
  std::int32_t limit_;
  const Decide* decide_;
  bool* mark_;
  std::uint32_t* marked_uid_;
  HeaderParser parser_;
  std::vector<std::pair<std::string, std::string>> fields_, last_fields_;
  std::set<std::uint32_t> examined_;
  std::vector<std::uint32_t> uids_, chosen_;
  std::string head_, subject_;
  std::int32_t number_ = 0;
  std::uint32_t uid_ = 0;
  bool open_ = false, body_ = false, header_literal_ = false, after_empty_ = false;
};

// Reads the responses of a UID SEARCH: the UIDs of its "* SEARCH" lines,
// and untagged EXPUNGEs lowering the count as in a FETCH. The answer is
// usable only when it came, every line of it was read whole and every
// number in it is a UID; numbers are not checked against the mailbox here
// (the FETCH of the candidates examines only the counted messages).
class SearchReader final : public Responses {
 public:
  // Beyond this many candidates a narrowed fetch saves little: the caller
  // fetches everything instead. It also bounds the memory of the answer.
  static constexpr std::size_t kMaxFound = 1000;

  // *count is lowered by EXPUNGEs; *truncated tells whether the line just
  // read was cut at the connection's line limit.
  SearchReader(std::int32_t* count, const bool* truncated)
      : count_(count), truncated_(truncated) {}

  Status Head(std::string_view line) override {
    std::size_t sp = line.find(' ', 2);
    if (line.rfind("* ", 0) != 0) return Status::Ok();
    std::string_view word = line.substr(2, sp == std::string_view::npos ? sp : sp - 2);
    if (IEquals(word, "SEARCH")) return Numbers(line.substr(8));
    if (sp == std::string_view::npos) return Status::Ok();
    std::string_view rest = line.substr(sp + 1);
    if (IsExpunge(rest.substr(0, rest.find(' ')))) return FollowExpunge(line, sp, count_);
    return Status::Ok();
  }

  bool usable() const { return answered_ && usable_; }
  const std::vector<std::uint32_t>& uids() const { return uids_; }

 private:
  Status Numbers(std::string_view list) {
    answered_ = true;
    if (*truncated_) usable_ = false;
    while (usable_ && !list.empty()) {
      std::size_t sp = list.find(' ');
      std::string_view token = list.substr(0, sp);
      list = sp == std::string_view::npos ? std::string_view() : list.substr(sp + 1);
      if (token.empty()) continue;
      long long uid = 0;
      if (!ParseDecimal(token, 4294967295LL, &uid) || uid == 0 || uids_.size() >= kMaxFound) {
        usable_ = false;
        break;
      }
      uids_.push_back(static_cast<std::uint32_t>(uid));
    }
    return Status::Ok();
  }

  std::int32_t* count_;
  const bool* truncated_;
  std::vector<std::uint32_t> uids_;
  bool answered_ = false, usable_ = true;
};

// The longest UID set of candidates worth a narrowed fetch: it keeps the
// FETCH command line well below the 8192 bytes that servers are known to
// take (RFC 7162 section 4).
constexpr std::size_t kMaxFoundSet = 4000;

constexpr std::string_view kFetchItems = "(UID BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])";
// The fields that date the control mail's delivery, fetched for it alone.
constexpr std::string_view kDeliveryItems = "(UID BODY.PEEK[HEADER.FIELDS (DATE RECEIVED)])";

class Imap4Client final : public MailboxClientBase<Imap4Component> {
 public:
  explicit Imap4Client(Imap4ClientOptions o) : MailboxClientBase(143), options_(o) {}
  ~Imap4Client() override = default;  // closes without LOGOUT or EXPUNGE

  Status Connect() override;
  void SetMailbox(std::string_view q) override {
    if (q.size() >= 2 && q.front() == '"' && q.back() == '"') q = q.substr(1, q.size() - 2);
    mailbox_ = q;
  }
  Status SelectMailbox() override;
  Status MessageCount(std::int32_t* count) override {
    Status s = RequireConnected();
    if (!s.ok()) return Report(s);
    *count = exists_;
    return Status::Ok();
  }
  Status SetMessageSet(std::string_view set) override {
    set_ = set;
    return Status::Ok();
  }
  Status FetchHeaders() override { return FetchMessageSet(); }
  Status FetchMessageInfo() override { return FetchMessageSet(); }
  std::string Subject() const override { return subject_; }
  Status DeleteFromMailbox() override;
  Status FetchEach(std::int32_t count, const Decide& decide) override;
  void SetSearch(std::vector<Imap4SearchKey> keys) override { search_keys_ = std::move(keys); }
  Status FetchFound(std::int32_t count, const Decide& decide, bool* found) override;
  Status DeleteFound(bool every) override;
  void MarkControlMessage() override { mark_ = true; }
  std::vector<std::pair<std::string, std::string>> DeliveryFields() const override {
    return delivery_fields_;
  }
  Status Expunge() override;
  Status Disconnect() override;

 private:
  // Sends one command, or several joined by CRLF in one write (a
  // pipelined flight); each line goes to the trail on its own.
  Status Send(const std::string& lines) {
    if (events_ != nullptr) {
      for (std::size_t start = 0;;) {
        std::size_t end = lines.find("\r\n", start);
        std::string_view line = std::string_view(lines).substr(start, end - start);
        events_->OnTrail(TrailDirection::kSent, mask_.Sent(line));
        if (end == std::string::npos) break;
        start = end + 2;
      }
    }
    return conn_.Write(lines + "\r\n");
  }
  Status ReadLine(std::string* line) {
    Status s = conn_.ReadLine(line, &line_truncated_);
    if (!s.ok()) return s;
    mask_.Received(*line);
    if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, *line);
    return Status::Ok();
  }
  // Reads lines to the tagged reply of tag (into *tagged when not null);
  // the untagged responses, literals included, go to responses.
  Status ReadTagged(const std::string& tag, Responses* responses, std::string* tagged = nullptr);
  std::string NextTag() { return "a" + std::to_string(++tag_); }
  Status Run(const std::string& command, Responses* responses = nullptr) {
    std::string tag = NextTag();
    Status s = Send(tag + " " + command);
    if (!s.ok()) return s;
    return ReadTagged(tag, responses);
  }
  // A server's refusal keeps the connection; anything else drops it.
  Status Fail(Status s) {
    return s.code() == kErrorServer ? Report(std::move(s)) : Drop(std::move(s));
  }
  Status Simple(const std::string& command) {
    Status s = RequireConnected();
    if (!s.ok()) return Report(s);
    s = Run(command);
    if (!s.ok()) return Fail(std::move(s));
    return Status::Ok();
  }
  // CAPABILITY: replaces what the client knows of the server's capabilities.
  Status AskCapabilities();
  Status Login();
  // AUTHENTICATE with the OAuth mechanism chosen from the AUTH= list, the
  // initial response on the command line with SASL-IR; untagged lines go
  // to untagged, the tagged reply to *tagged.
  Status Authenticate(const std::string& tag,
                      const std::function<void(std::string_view)>& untagged,
                      std::string* tagged);
  Status FetchMessageSet();
  // Flags the messages with these UIDs \Deleted; remembers them for a
  // UID EXPUNGE.
  Status Store(const std::vector<std::uint32_t>& uids);
  // The UID of message n: FETCH by number, which no EXPUNGE can shift.
  Status UidOf(std::int32_t n, std::uint32_t* uid);
  // What this client flagged since the SELECT, as a UID set.
  std::string FlaggedSet() const;
  // Flags the UID set \Deleted (none when empty) and fetches the delivery
  // fields of the message with UID uid, both commands in one write: one
  // round trip for the two. stored runs once the STORE is confirmed. A
  // refusal of the fetch leaves the fields empty and fails nothing.
  Status StoreAndFetchDelivery(const std::string& set, std::uint32_t uid,
                               const std::function<void()>& stored);
  // The flags of the chosen UIDs, with the delivery fields of the control
  // mail when decide marked one: what FetchEach and DeleteFound end with.
  Status StoreChosen(const std::vector<std::uint32_t>& uids);

  Imap4ClientOptions options_;
  TrailMask mask_;
  Capabilities caps_;
  std::int32_t exists_ = 0;
  int tag_ = 0;
  std::string mailbox_, set_, subject_;
  // The message set of the last FetchHeaders/FetchMessageInfo and the
  // UIDs it examined: what DeleteFromMailbox flags.
  std::string fetched_set_;
  bool fetched_ = false;
  std::vector<std::uint32_t> fetched_uids_;
  // UIDs this client flagged \Deleted since the mailbox was selected, and
  // all UIDs from 1 to flagged_upto_ (0: none) when it flagged every message.
  std::set<std::uint32_t> flagged_;
  std::uint32_t flagged_upto_ = 0;
  // The search SelectMailbox sends; what it found (searched_ when the
  // answer is usable); the UIDNEXT of the SELECT (0 when not given).
  std::vector<Imap4SearchKey> search_keys_;
  bool searched_ = false;
  std::vector<std::uint32_t> found_uids_;
  std::uint32_t uid_next_ = 0;
  // The last FetchFound: done, the count after it, what decide chose.
  bool found_fetched_ = false;
  std::int32_t found_count_ = 0;
  std::vector<std::uint32_t> found_chosen_;
  // Whether the line last read was cut at the connection's line limit.
  bool line_truncated_ = false;
  // The control mail of the running FetchEach and its delivery fields.
  bool mark_ = false;
  std::uint32_t control_uid_ = 0;
  std::vector<std::pair<std::string, std::string>> delivery_fields_;
};

Status Imap4Client::ReadTagged(const std::string& tag, Responses* responses,
                               std::string* tagged) {
  std::string line;
  for (;;) {
    Status s = ReadLine(&line);
    if (!s.ok()) return s;
    if (line.rfind(tag + " ", 0) == 0) {
      if (tagged != nullptr) *tagged = line;
      std::string_view rest = std::string_view(line).substr(tag.size() + 1);
      if (rest.rfind("OK", 0) == 0) return Status::Ok();
      return Status::Error(ReplyText(line), kErrorServer);
    }
    long long n = LiteralSize(line);
    if (responses != nullptr) {
      s = responses->Head(line);
      if (!s.ok()) return s;
    }
    while (n >= 0) {
      std::size_t remaining = static_cast<std::size_t>(n);
      std::string lit;
      while (remaining > 0) {
        s = conn_.ReadLineWithin(&remaining, &lit);
        if (!s.ok()) return s;
        if (events_ != nullptr) events_->OnTrail(TrailDirection::kReceived, lit);
        if (responses != nullptr && !(s = responses->LiteralLine(lit)).ok()) return s;
      }
      s = ReadLine(&line);  // the rest of the response after the literal
      if (!s.ok()) return s;
      if (responses != nullptr && !(s = responses->Tail(line)).ok()) return s;
      n = LiteralSize(line);
    }
    if (responses != nullptr && !(s = responses->End()).ok()) return s;
  }
}

Status Imap4Client::AskCapabilities() {
  Capabilities caps;
  HeadLines lines([&caps](std::string_view l) {
    if (IStartsWith(l, "* CAPABILITY ")) AddCapabilities(l.substr(13), &caps);
    return Status::Ok();
  });
  Status s = Run("CAPABILITY", &lines);
  if (s.ok()) caps_ = caps;
  return s;
}

Status Imap4Client::Connect() {
  conn_.Close();
  connected_ = false;
  mask_.Reset();
  caps_ = Capabilities();
  flagged_.clear();
  flagged_upto_ = 0;
  fetched_ = false;
  searched_ = false;
  found_fetched_ = false;
  // Checked before anything goes out: such a value could never be sent.
  Status s;
  if (NeedsLiteral(user_)) s = Status::Error("user name cannot be sent", kErrorConfig);
  // Not even as a literal: NUL cannot travel in one, and a server that
  // reads lines would take what follows a line break as a command.
  if (s.ok() && !FitsInCommandLine(password_)) {
    s = Status::Error("password cannot be sent", kErrorConfig);
  }
  if (s.ok() && !FitsInCommandLine(token_)) {
    s = Status::Error("access token cannot be sent", kErrorConfig);
  }
  TlsStart tls = TlsStart::kNone;
  if (s.ok()) {
    s = OpenMailConnection(&conn_, host_, port_, ipv6_, ssl_mode_ == 0,
                           {options_.implicit_tls_port, options_.starttls_port}, &tls);
  }
  std::string line;
  if (s.ok()) s = ReadLine(&line);
  if (s.ok() && line.rfind("* OK", 0) != 0 && line.rfind("* PREAUTH", 0) != 0) {
    s = Status::Error(line.rfind("* BYE", 0) == 0 ? ReplyText(line)
                                                   : "unexpected greeting \"" + ReplyText(line) + "\"",
                      kErrorServer);
  }
  // Capabilities in the greeting save the CAPABILITY command; after
  // STARTTLS the client asks again, as what was said before TLS may have
  // been forged on the way.
  std::string_view list;
  if (s.ok() && line.size() > 5 && CapabilityCode(std::string_view(line).substr(5), &list)) {
    AddCapabilities(list, &caps_);
  } else if (s.ok()) {
    s = AskCapabilities();
  }
  if (s.ok() && tls == TlsStart::kUpgrade) {
    if (!caps_.starttls) {
      s = Status::Error("server does not offer STARTTLS; TLS is required", kErrorServer);
    } else {
      s = Run("STARTTLS");
      if (s.ok()) s = conn_.StartTls(host_);
      if (s.ok()) s = AskCapabilities();
    }
  }
  // LOGINDISABLED forbids LOGIN (RFC 3501 6.2.3): the password never goes
  // out in clear to a server that refuses it.
  if (s.ok() && caps_.logindisabled && login_ == LoginMethod::kPassword) {
    s = Status::Error(conn_.IsTls() ? "server refuses LOGIN (LOGINDISABLED)"
                                    : "server refuses login without TLS; turn SSL on",
                      kErrorServer);
  }
  if (s.ok()) s = Login();
  if (!s.ok()) return Drop(s);
  connected_ = true;
  return Status::Ok();
}

Status Imap4Client::Login() {
  std::string tag = "a" + std::to_string(++tag_);
  Status s;
  std::string line;
  // The capabilities change with the login: the server may list them in
  // its reply; otherwise the client asks.
  bool listed = false;
  Capabilities caps;
  auto capability = [&](std::string_view l) {
    if (IStartsWith(l, "* CAPABILITY ")) {
      AddCapabilities(l.substr(13), &caps);
      listed = true;
    }
  };
  if (login_ != LoginMethod::kPassword) {
    s = Authenticate(tag, capability, &line);
  } else {
    std::string head = tag + " LOGIN " + Quote(user_) + " ";
    if (NeedsLiteral(password_)) {
      s = Send(head + "{" + std::to_string(password_.size()) + "}");
      if (s.ok()) s = ReadLine(&line);
      if (s.ok() && line.rfind("+", 0) != 0) s = Status::Error(ReplyText(line), kErrorServer);
      if (s.ok()) s = Send(password_);
    } else {
      s = Send(head + Quote(password_));
    }
    HeadLines lines([&](std::string_view l) {
      capability(l);
      return Status::Ok();
    });
    if (s.ok()) s = ReadTagged(tag, &lines, &line);
  }
  if (!s.ok()) return s;
  std::string_view list;
  if (line.size() > tag.size() + 4 &&
      CapabilityCode(std::string_view(line).substr(tag.size() + 4), &list)) {
    AddCapabilities(list, &caps);
    listed = true;
  }
  if (!listed) return AskCapabilities();
  caps_ = caps;
  return Status::Ok();
}

Status Imap4Client::Authenticate(const std::string& tag,
                                 const std::function<void(std::string_view)>& untagged,
                                 std::string* tagged) {
  LoginMethod mech = LoginMethod::kPassword;
  Status s = ChooseMechanism(login_, caps_.auth, /*listed=*/true, &mech);
  if (!s.ok()) return Status::Error(s.message(), kErrorServer);
  const std::string name(MechanismName(mech));
  const std::string response =
      Base64Encode(OAuthInitialResponse(mech, user_, token_, host_, port_));
  bool sent = false;
  std::string challenge;
  // A "+" before the response was sent asks for it (no SASL-IR); after
  // it, "+" carries the refusal's reason, which the client must answer
  // before the server sends its tagged reply.
  HeadLines lines([&](std::string_view l) {
    if (l != "+" && l.rfind("+ ", 0) != 0) {
      untagged(l);
      return Status::Ok();
    }
    if (!sent) {
      sent = true;
      return Send(response);
    }
    challenge = DecodeChallenge(l.substr(std::min<std::size_t>(2, l.size())));
    return Send(std::string(OAuthFailureAnswer(mech)));
  });
  if (caps_.sasl_ir) {
    sent = true;
    s = Send(tag + " AUTHENTICATE " + name + " " + response);
  } else {
    s = Send(tag + " AUTHENTICATE " + name);
  }
  if (s.ok()) s = ReadTagged(tag, &lines, tagged);
  if (s.ok()) return s;
  if (s.code() == kErrorServer) {
    return Status::Error(OAuthRefusedText(mech, ReplyText(*tagged), challenge), kErrorServer);
  }
  if (sent && s.code() == kErrorTransport && s.message().find("timed out") == std::string::npos) {
    return Status::Error(OAuthDroppedText(mech, response.size()), kErrorServer);
  }
  return s;
}

Status Imap4Client::SelectMailbox() {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  exists_ = 0;
  uid_next_ = 0;
  flagged_.clear();
  flagged_upto_ = 0;
  fetched_ = false;
  searched_ = false;
  found_fetched_ = false;
  found_uids_.clear();
  bool seen = false;
  std::string arg = NeedsLiteral(mailbox_) ? std::string() : Quote(mailbox_);
  if (arg.empty()) return Report(Status::Error("mailbox name cannot be sent", kErrorConfig));
  HeadLines lines([&](std::string_view l) {
    if (l.size() > 9 && l.substr(l.size() - 7) == " EXISTS" && l.rfind("* ", 0) == 0) {
      if (!ParseNumber(l.substr(2, l.size() - 9), &exists_)) {
        return Status::Error("malformed EXISTS \"" + ReplyText(l) + "\"", kErrorProtocol);
      }
      seen = true;
    }
    // The UID the next new message gets: every counted message has a
    // smaller one. A malformed value is as good as none.
    constexpr std::string_view kUidNext = "* OK [UIDNEXT ";
    long long next = 0;
    if (IStartsWith(l, kUidNext)) {
      std::string_view digits = l.substr(kUidNext.size());
      if (ParseDecimal(digits.substr(0, digits.find(']')), 4294967295LL, &next)) {
        uid_next_ = static_cast<std::uint32_t>(next);
      }
    }
    return Status::Ok();
  });
  // The search travels with the SELECT and its answer comes back in the
  // same round trip. It can only search the mailbox this SELECT opens: a
  // failed SELECT leaves no mailbox selected (RFC 3501 6.3.1), and the
  // server refuses the search.
  const std::string search =
      options_.narrow_by_search ? SearchCommand(search_keys_, caps_) : std::string();
  const std::string select_tag = NextTag();
  std::string flight = select_tag + " SELECT " + arg;
  std::string search_tag;
  if (!search.empty()) {
    search_tag = NextTag();
    flight += "\r\n" + search_tag + " " + search;
  }
  s = Send(flight);
  if (s.ok()) s = ReadTagged(select_tag, &lines);
  if (!s.ok() && s.code() != kErrorServer) return Drop(std::move(s));
  Status selected = std::move(s);
  if (!search_tag.empty()) {
    // A refused search only means fetching everything; a lost connection
    // or a malformed EXPUNGE ends the call (with the SELECT's refusal
    // when there was one).
    SearchReader reader(&exists_, &line_truncated_);
    s = ReadTagged(search_tag, selected.ok() ? &reader : nullptr);
    if (!s.ok() && s.code() != kErrorServer) {
      return Drop(selected.ok() ? std::move(s) : std::move(selected));
    }
    if (selected.ok() && s.ok() && reader.usable() &&
        UidSet(reader.uids()).size() <= kMaxFoundSet) {
      searched_ = true;
      found_uids_ = reader.uids();
    }
  }
  if (!selected.ok()) return Report(std::move(selected));
  if (!seen) return Drop(Status::Error("SELECT reply without EXISTS", kErrorProtocol));
  return Status::Ok();
}

Status Imap4Client::FetchMessageSet() {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  fetched_ = false;
  FetchReader reader(events_, INT32_MAX, nullptr);
  s = Run("FETCH " + set_ + " " + std::string(kFetchItems), &reader);
  if (!s.ok()) return Fail(std::move(s));
  subject_ = reader.subject();
  fetched_set_ = set_;
  fetched_uids_ = reader.uids();
  fetched_ = true;
  return Status::Ok();
}

Status Imap4Client::DeleteFromMailbox() {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  // Only what was examined is flagged, by UID, never by a number that may
  // have moved since.
  if (!fetched_ || fetched_set_ != set_) {
    return Report(Status::Error("message set not fetched", kErrorState));
  }
  return Store(fetched_uids_);
}

Status Imap4Client::FetchEach(std::int32_t count, const Decide& decide) {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  delivery_fields_.clear();
  mark_ = false;
  control_uid_ = 0;
  if (count <= 0) return Status::Ok();
  FetchReader reader(events_, count, &decide, &mark_, &control_uid_);
  s = Run("UID FETCH 1:* " + std::string(kFetchItems), &reader);
  if (!s.ok()) return Fail(std::move(s));
  return StoreChosen(reader.chosen());
}

Status Imap4Client::StoreChosen(const std::vector<std::uint32_t>& uids) {
  if (control_uid_ == 0) return Store(uids);
  return StoreAndFetchDelivery(uids.empty() ? std::string() : UidSet(uids), control_uid_,
                               [&] { flagged_.insert(uids.begin(), uids.end()); });
}

Status Imap4Client::StoreAndFetchDelivery(const std::string& set, std::uint32_t uid,
                                          const std::function<void()>& on_stored) {
  std::string out, store_tag;
  auto add = [&](const std::string& command) {
    std::string tag = "a" + std::to_string(++tag_);
    const std::string line = tag + " " + command;
    if (events_ != nullptr) events_->OnTrail(TrailDirection::kSent, mask_.Sent(line));
    out += line + "\r\n";
    return tag;
  };
  if (!set.empty()) store_tag = add("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
  const std::string fetch_tag =
      add("UID FETCH " + std::to_string(uid) + " " + std::string(kDeliveryItems));
  Status s = conn_.Write(out);
  if (!s.ok()) return Drop(std::move(s));
  // Fields only, no header events: they are not part of the decision. The
  // server may answer the fetch before it confirms the STORE, so the
  // responses of both go to the reader.
  FetchReader fields(nullptr, INT32_MAX, nullptr);
  Status stored = Status::Ok();
  if (!store_tag.empty()) {
    stored = ReadTagged(store_tag, &fields);
    if (!stored.ok() && stored.code() != kErrorServer) return Drop(std::move(stored));
    if (stored.ok()) on_stored();
  }
  Status fetched = ReadTagged(fetch_tag, &fields);
  if (!fetched.ok() && fetched.code() != kErrorServer) return Drop(std::move(fetched));
  if (fetched.ok() && !fields.uids().empty() && fields.uids().front() == uid) {
    delivery_fields_ = fields.last_fields();
  }
  return stored.ok() ? Status::Ok() : Report(std::move(stored));
}

Status Imap4Client::FetchFound(std::int32_t count, const Decide& decide, bool* found) {
  *found = false;
  found_fetched_ = false;
  found_chosen_.clear();
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  delivery_fields_.clear();
  mark_ = false;
  control_uid_ = 0;
  if (!searched_) return Status::Ok();
  found_count_ = count;
  if (count > 0 && !found_uids_.empty()) {
    FetchReader reader(events_, count, &decide, &mark_, &control_uid_);
    s = Run("UID FETCH " + UidSet(found_uids_) + " " + std::string(kFetchItems), &reader);
    if (!s.ok()) return Fail(std::move(s));
    found_chosen_ = reader.chosen();
    found_count_ = reader.limit();
  }
  found_fetched_ = true;
  *found = true;
  return Status::Ok();
}

Status Imap4Client::DeleteFound(bool every) {
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  if (!found_fetched_) return Report(Status::Error("search answer not fetched", kErrorState));
  if (!every) return StoreChosen(found_chosen_);
  if (found_count_ <= 0) return Status::Ok();
  // Every counted message has a UID below the SELECT's UIDNEXT and every
  // message that arrived since has one at or above it, so the range flags
  // exactly the counted messages, whatever another client removed
  // meanwhile. Without UIDNEXT the last counted message's UID does.
  std::uint32_t top = uid_next_ > 1 ? uid_next_ - 1 : 0;
  if (top == 0 && !(s = UidOf(found_count_, &top)).ok()) return Fail(std::move(s));
  const std::string range = "1:" + std::to_string(top);
  auto stored = [&] { flagged_upto_ = std::max(flagged_upto_, top); };
  if (control_uid_ != 0) return StoreAndFetchDelivery(range, control_uid_, stored);
  s = Simple("UID STORE " + range + " +FLAGS.SILENT (\\Deleted)");
  if (s.ok()) stored();
  return s;
}

Status Imap4Client::UidOf(std::int32_t n, std::uint32_t* uid) {
  *uid = 0;
  HeadLines lines([&](std::string_view l) {
    // "* n FETCH (UID u)"; a flag update of another message may come too.
    std::size_t sp = l.find(' ', 2);
    std::int32_t number = 0;
    if (l.rfind("* ", 0) != 0 || sp == std::string_view::npos ||
        !IStartsWith(l.substr(sp + 1), "FETCH ") || !ParseNumber(l.substr(2, sp - 2), &number) ||
        number != n) {
      return Status::Ok();
    }
    long long u = FindUid(l.substr(sp + 7));
    if (u < 0) return Status::Error("malformed FETCH \"" + ReplyText(l) + "\"", kErrorProtocol);
    if (u > 0) *uid = static_cast<std::uint32_t>(u);
    return Status::Ok();
  });
  Status s = Run("FETCH " + std::to_string(n) + " (UID)", &lines);
  if (s.ok() && *uid == 0) s = Status::Error("FETCH reply without UID", kErrorProtocol);
  return s;
}

Status Imap4Client::Store(const std::vector<std::uint32_t>& uids) {
  if (uids.empty()) return Status::Ok();
  Status s = Simple("UID STORE " + UidSet(uids) + " +FLAGS.SILENT (\\Deleted)");
  if (s.ok()) flagged_.insert(uids.begin(), uids.end());
  return s;
}

std::string Imap4Client::FlaggedSet() const {
  std::vector<std::uint32_t> rest;
  for (std::uint32_t uid : flagged_) {
    if (uid > flagged_upto_) rest.push_back(uid);
  }
  std::string set = UidSet(rest);
  if (flagged_upto_ == 0) return set;
  std::string range = "1:" + std::to_string(flagged_upto_);
  return set.empty() ? range : range + "," + set;
}

Status Imap4Client::Expunge() {
  // Without UIDPLUS, EXPUNGE also removes what other clients flagged.
  if (!caps_.uidplus) return Simple("EXPUNGE");
  Status s = RequireConnected();
  if (!s.ok()) return Report(s);
  if (flagged_.empty() && flagged_upto_ == 0) return Status::Ok();
  s = Simple("UID EXPUNGE " + FlaggedSet());
  if (s.ok()) {
    flagged_.clear();
    flagged_upto_ = 0;
  }
  return s;
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
