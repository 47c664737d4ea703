#include "mail/mail_message.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

namespace tessaly {
namespace {

constexpr std::string_view kFallbackDomain = "tessaly.invalid";
constexpr std::string_view kCrlf = "\r\n";

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.';
}

// Appends `text` with every CR, LF or CR LF turned into CRLF.
void AppendCrlfLines(std::string_view text, std::string* out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out->append(kCrlf);
    } else if (c == '\n') {
      out->append(kCrlf);
    } else {
      out->push_back(c);
    }
  }
}

}  // namespace

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string Rfc5322Date(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  gmtime_r(&when, &utc);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000",
                kDays[utc.tm_wday % 7], utc.tm_mday, kMonths[utc.tm_mon % 12],
                utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return buf;
}

std::string NewMessageId(std::string_view domain) {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32) ^ std::uint64_t{rd()};
  }();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto micros = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  char buf[96];
  std::snprintf(buf, sizeof buf, "<%llx.%llx.%llx@", micros,
                static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(counter.fetch_add(1) + 1));
  std::string id = buf;
  id.append(domain);
  id.push_back('>');
  return id;
}

std::string MessageIdDomain(std::string_view from) {
  std::size_t at = from.rfind('@');
  if (at == std::string_view::npos) return std::string(kFallbackDomain);
  std::string_view domain = from.substr(at + 1);
  if (domain.empty() || domain.front() == '.' || domain.back() == '.') {
    return std::string(kFallbackDomain);
  }
  for (char c : domain) {
    if (!IsHostChar(c)) return std::string(kFallbackDomain);
  }
  return std::string(domain);
}

Status ComposeMessage(const MailMessage& message, std::time_t when,
                      std::string_view message_id, std::string* text) {
  text->clear();
  if (HasLineBreak(message.from) || HasLineBreak(message.to) ||
      HasLineBreak(message.subject) || HasLineBreak(message.extra_header) ||
      HasLineBreak(message_id)) {
    return Status::Error("line break in a header field refused");
  }
  std::string out;
  auto field = [&out](std::string_view name, std::string_view value) {
    out.append(name).append(": ").append(value).append(kCrlf);
  };
  field("From", message.from);
  field("To", message.to);
  field("Subject", message.subject);
  field("Date", Rfc5322Date(when));
  field("Message-ID", message_id);
  field("MIME-Version", "1.0");
  field("Content-Type", "text/plain; charset=UTF-8");
  field("Content-Transfer-Encoding", "8bit");
  if (!message.extra_header.empty()) out.append(message.extra_header).append(kCrlf);
  out.append(kCrlf);
  AppendCrlfLines(message.body, &out);
  if (out.size() < 2 || out.compare(out.size() - 2, 2, kCrlf) != 0) out.append(kCrlf);
  *text = std::move(out);
  return Status::Ok();
}

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  bool line_start = true;
  for (char c : text) {
    if (line_start && c == '.') out.push_back('.');
    out.push_back(c);
    line_start = (c == '\n');
  }
  return out;
}

}  // namespace tessaly
