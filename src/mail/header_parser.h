// Splits a message header, fed one line at a time, into fields: unfolds
// continuation lines, splits name and value (the value without the colon,
// the blanks after it and trailing blanks, tabs and CRs, so a value is
// compared and traced as written) and stops at the empty line that ends
// the header. CRs at the end of a line are part of its line end. Pure and incremental: memory is bounded by kMaxField whatever
// the message size.
#ifndef TESSALY_MAIL_HEADER_PARSER_H_
#define TESSALY_MAIL_HEADER_PARSER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tessaly {

class HeaderParser {
 public:
  // A field longer than this (name, colon and unfolded value) is cut there;
  // truncated() tells that it happened. Bytes are kept as received.
  static constexpr std::size_t kMaxField = 64 * 1024;

  using FieldSink = std::function<void(std::string_view name, std::string_view value)>;
  explicit HeaderParser(FieldSink sink) : sink_(std::move(sink)) {}

  // Feeds one line without its line end. Returns true when the line is the
  // empty line that ends the header (the pending field is delivered then);
  // lines after that are ignored. A line with no colon that does not
  // continue a field is skipped.
  bool AddLine(std::string_view line);
  // Delivers the pending field, for a header that ended without its empty
  // line (end of the data). Idempotent.
  void Finish();

  bool done() const { return done_; }
  bool truncated() const { return truncated_; }
  // Starts over for the next message.
  void Reset();

 private:
  void Append(std::string_view text);

  FieldSink sink_;
  std::string pending_;  // one logical field, unfolded
  bool has_pending_ = false;
  bool done_ = false;
  bool truncated_ = false;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_HEADER_PARSER_H_
