#include "mail/header_parser.h"

namespace tessaly {

void HeaderParser::Append(std::string_view text) {
  std::size_t room = kMaxField - pending_.size();
  if (text.size() > room) {
    text = text.substr(0, room);
    truncated_ = true;
  }
  pending_.append(text);
}

bool HeaderParser::AddLine(std::string_view line) {
  if (done_) return false;
  // Mail stored with CRLF line ends comes out of some servers with CR CR LF:
  // the CR left over belongs to the line end, not to the text.
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    Finish();
    done_ = true;
    return true;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    // Unfolding removes only the line break; the blank stays.
    if (has_pending_) Append(line);
    return false;
  }
  Finish();
  if (line.find(':') == std::string_view::npos) return false;
  has_pending_ = true;
  Append(line);
  return false;
}

void HeaderParser::Finish() {
  if (!has_pending_) return;
  has_pending_ = false;
  std::string_view field(pending_);
  std::size_t colon = field.find(':');
  std::string_view name = field.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
    name.remove_suffix(1);
  }
  std::string_view value = field.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
    value.remove_suffix(1);
  }
  if (sink_) sink_(name, value);
  pending_.clear();
}

void HeaderParser::Reset() {
  pending_.clear();
  has_pending_ = false;
  done_ = false;
  truncated_ = false;
}

}  // namespace tessaly
