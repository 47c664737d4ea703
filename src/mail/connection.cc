// The platform-independent part of a connection: the operation's deadline,
// the buffer of received bytes with the line reader, and the order of the
// steps. Sockets and TLS are the transport's (connection_posix.cc,
// connection_win.cc).
#include "mail/connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "mail/transport.h"

namespace tessaly {

Status TransportError(std::string message) {
  return Status::Error(std::move(message), kErrorTransport);
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Status Transport::CheckDeadline() const {
  if (NowMs() < deadline_ms_) return Status::Ok();
  return TimeoutError();
}

Status Transport::TimeoutError() const {
  return TransportError("connection timed out after " + std::to_string(timeout_s_) + " s");
}

Status Transport::Resolve(const std::string& host, std::int32_t port, bool ipv6, int* code,
                          std::vector<ResolvedAddress>* addresses) const {
  const std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadline_ms_)};
  Resolution r = ResolveBy(host, std::to_string(port),
                           ipv6 ? AddressFamily::kIpv6 : AddressFamily::kIpv4, deadline, lookup_);
  if (r.timed_out) return TimeoutError();
  *code = r.code;
  *addresses = std::move(r.addresses);
  return Status::Ok();
}

Status Transport::WaitFor(int events, int* found) {
  for (;;) {
    const std::int64_t left = deadline_ms_ - NowMs();
    if (left <= 0) return CheckDeadline();
    std::string error;
    const int r = Poll(events | kFailed, left, found, &error);
    if (r < 0) return TransportError(std::move(error));
    if (r > 0) return Status::Ok();
    // Run out or interrupted: the deadline check above decides.
  }
}

std::string ReplyText(std::string_view line) {
  std::string out(line.substr(0, kMaxReplyText));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool ParseIpv6Config(std::string_view text, bool* ipv6) {
  if (text == "UseIPv6=True") {
    *ipv6 = true;
    return true;
  }
  if (text == "UseIPv6=False") {
    *ipv6 = false;
    return true;
  }
  return false;
}

Connection::Connection() : transport_(NewTransport()) {
  transport_->SetTimeoutSeconds(timeout_s_);
}

Connection::~Connection() { Close(); }

void Connection::SetLookup(LookupFunction lookup) { transport_->SetLookup(std::move(lookup)); }

void Connection::SetTimeout(int seconds) {
  timeout_s_ = seconds > 0 ? seconds : kDefaultTimeoutSeconds;
  transport_->SetTimeoutSeconds(timeout_s_);
}

bool Connection::IsOpen() const { return transport_->IsOpen(); }

bool Connection::IsTls() const { return transport_->IsTls(); }

void Connection::Close() {
  transport_->Close();
  in_.clear();
  in_pos_ = 0;
}

Status Connection::Fail(std::string message) {
  Close();
  return TransportError(std::move(message));
}

Status Connection::Closing(Status s) {
  if (!s.ok()) Close();
  return s;
}

int Connection::ReadSome(Status* status) {
  const int n = transport_->ReadSome(&in_, status);
  if (n < 0) Close();
  return n;
}

Status Connection::Open(std::string_view host, std::int32_t port, bool ipv6) {
  Close();
  transport_->SetDeadline(NowMs() + static_cast<std::int64_t>(timeout_s_) * 1000);
  if (port < 1 || port > 65535) {
    return TransportError("invalid port " + std::to_string(port));
  }
  std::string host_text(host);
  if (!host_text.empty() && host_text.front() == '[' && host_text.back() == ']') {
    host_text = host_text.substr(1, host_text.size() - 2);
  }
  return Closing(transport_->Connect(host_text, port, ipv6, send_buffer_));
}

Status Connection::StartTls(std::string_view host) {
  if (!IsOpen()) return TransportError("not connected");
  // Bytes the server sent before the handshake would be a protocol fault;
  // they are dropped so they cannot pass as protected data.
  in_.clear();
  in_pos_ = 0;
  return Closing(transport_->StartTls(std::string(host), events_, &in_));
}

Status Connection::WaitForServer(int wait_ms, bool* spoke) {
  *spoke = false;
  if (!IsOpen()) return TransportError("not connected");
  if (in_pos_ < in_.size() || transport_->HasPending()) {
    *spoke = true;
    return Status::Ok();
  }
  const std::int64_t end =
      std::min(transport_->deadline_ms(), NowMs() + std::max(wait_ms, 0));
  for (;;) {
    const std::int64_t left = end - NowMs();
    if (left <= 0) return Status::Ok();
    int found = 0;
    std::string error;
    const int r = transport_->Poll(kReadable, left, &found, &error);
    if (r < 0) return Fail(std::move(error));
    if (r == 0) continue;  // the check above decides
    // Data, an orderly close and a reset all mean the server did not wait
    // for the client to speak first.
    *spoke = true;
    return Status::Ok();
  }
}

Status Connection::Fill() {
  if (!IsOpen()) return TransportError("not connected");
  if (in_pos_ > 0 && in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  } else if (in_pos_ > 65536) {
    in_.erase(0, in_pos_);
    in_pos_ = 0;
  }
  for (;;) {
    // Also when data keeps coming: a server that never lets the client
    // wait must not hold it past the deadline either.
    Status late = Closing(transport_->CheckDeadline());
    if (!late.ok()) return late;
    // Data may already sit inside the TLS session: read before waiting.
    Status status;
    const int n = ReadSome(&status);
    if (n < 0) return status;
    if (n > 0) return Status::Ok();
    int found = 0;
    Status s = Closing(transport_->WaitFor(kReadable, &found));
    if (!s.ok()) return s;
  }
}

Status Connection::Write(std::string_view data) {
  if (!IsOpen()) return TransportError("not connected");
  while (!data.empty()) {
    Status late = Closing(transport_->CheckDeadline());
    if (!late.ok()) return late;
    Status status;
    const int n = transport_->SendSome(data, &status);
    if (n < 0) return Closing(status);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    int found = 0;
    Status s = Closing(transport_->WaitFor(kReadable | kWritable, &found));
    if (!s.ok()) return s;
    if ((found & kReadable) != 0) {
      if (ReadSome(&status) < 0) return status;
    }
  }
  return Status::Ok();
}

Status Connection::WriteSome(std::string_view data, std::size_t* written) {
  *written = 0;
  if (!IsOpen()) return TransportError("not connected");
  while (*written < data.size()) {
    Status status;
    const int n = transport_->SendSome(data.substr(*written), &status);
    if (n < 0) return Closing(status);
    if (n == 0) break;
    *written += static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

Status Connection::ReadLine(std::string* line, bool* truncated) {
  std::size_t unlimited = static_cast<std::size_t>(-1);
  return ReadLineWithin(&unlimited, line, truncated);
}

Status Connection::ReadLineWithin(std::size_t* remaining, std::string* line,
                                  bool* truncated) {
  line->clear();
  if (truncated != nullptr) *truncated = false;
  for (;;) {
    const std::size_t avail = in_.size() - in_pos_;
    const std::size_t limit = avail < *remaining ? avail : *remaining;
    const char* start = in_.data() + in_pos_;
    const void* lf = std::memchr(start, '\n', limit);
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1
                      : limit;
    const std::size_t room = kMaxLine + 1 - line->size();  // +1 keeps the CR of a CRLF
    if (take > 0) {
      const std::size_t keep = take < room ? take : room;
      line->append(start, keep);
      if (keep < take && truncated != nullptr) *truncated = true;
      in_pos_ += take;
      *remaining -= take;
    }
    const bool done = lf != nullptr || *remaining == 0;
    if (done) {
      if (!line->empty() && line->back() == '\n') line->pop_back();
      if (!line->empty() && line->back() == '\r') line->pop_back();
      if (line->size() > kMaxLine) {
        line->resize(kMaxLine);
        if (truncated != nullptr) *truncated = true;
      }
      return Status::Ok();
    }
    Status s = Fill();
    if (!s.ok()) return s;
  }
}

Status Connection::TakeUnread(std::string* bytes) {
  bytes->clear();
  if (!IsOpen()) return TransportError("not connected");
  // A close or a reset is left for the next read to report.
  transport_->TakeAvailable(&in_, in_pos_ + kMaxLine);
  bytes->assign(in_, in_pos_, std::string::npos);
  in_.clear();
  in_pos_ = 0;
  return Status::Ok();
}

}  // namespace tessaly
