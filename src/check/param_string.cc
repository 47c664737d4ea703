#include "check/param_string.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include "check/vocab.h"

namespace tessaly {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithState(std::string_view key) {
  return key.substr(0, vocab::kStatePrefix.size()) == vocab::kStatePrefix;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.substr(text.size() - tail.size()) == tail;
}

// Where the value of key starts and ends in params, or npos as start when
// no item has the key. Upper-casing is ASCII only and one byte to one byte,
// so comparing byte by byte without a copy gives the same positions.
struct ValueSpan {
  size_t begin = std::string_view::npos;
  size_t end = 0;
};

ValueSpan FindValue(std::string_view params, std::string_view trimmed_key) {
  ValueSpan span;
  const size_t item_len = trimmed_key.size() + 2;  // "#" key "="
  if (params.size() < item_len) return span;
  for (size_t pos = params.find('#'); pos != std::string_view::npos &&
                                      pos + item_len <= params.size();
       pos = params.find('#', pos + 1)) {
    bool match = params[pos + item_len - 1] == '=';
    for (size_t i = 0; match && i < trimmed_key.size(); ++i) {
      match = UpperAscii(params[pos + 1 + i]) == UpperAscii(trimmed_key[i]);
    }
    if (!match) continue;
    span.begin = pos + item_len;
    // The value ends at the first "#" after its "=". For every key without a
    // "#" of its own this is the first "#" after the item's "#"; searching
    // from the "=" also keeps a key with a "#" in it from giving a value of
    // negative length.
    const size_t next = params.find('#', span.begin);
    span.end = next == std::string_view::npos ? params.size() : next;
    return span;
  }
  return span;
}

}  // namespace

std::string GetParameterValue(std::string_view params, std::string_view key) {
  const std::string_view trimmed = TrimBlanks(key);
  const ValueSpan span = FindValue(params, trimmed);
  if (span.begin == std::string_view::npos) return std::string();
  std::string_view value = params.substr(span.begin, span.end - span.begin);
  if (StartsWithState(trimmed) && EndsWith(value, vocab::kStatePrefix)) {
    value.remove_suffix(vocab::kStatePrefix.size());
  }
  return std::string(value);
}

std::string SetParameterValue(std::string_view params, std::string_view key,
                              std::string_view value) {
  const std::string_view trimmed = TrimBlanks(key);
  std::string stored(value);
  if (StartsWithState(trimmed)) stored.append(vocab::kStatePrefix);

  const ValueSpan span = FindValue(params, trimmed);
  std::string out;
  if (span.begin == std::string_view::npos) {
    out.reserve(params.size() + trimmed.size() + stored.size() + 3);
    out.append(params);
    if (out.empty() || out.back() != '#') out.push_back('#');
    // The key is appended without its surrounding blanks so that a lookup
    // of the same key finds the new item.
    out.append(trimmed);
    out.push_back('=');
    out.append(stored);
    out.push_back('#');
    return out;
  }
  out.reserve(params.size() - (span.end - span.begin) + stored.size());
  out.append(params.substr(0, span.begin));
  out.append(stored);
  out.append(params.substr(span.end));
  return out;
}

std::string EscapeValue(std::string_view text, bool escape_hash) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\r':
        out.append(vocab::kTokenCr);
        break;
      case '\n':
        out.append(vocab::kTokenLf);
        break;
      case '"':
        out.append(vocab::kTokenQuote);
        break;
      case '#':
        if (escape_hash) {
          out.append(vocab::kTokenHash);
        } else {
          out.push_back(c);
        }
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// One left-to-right scan. It gives the same result as replacing each token
// in turn over the whole text: every token starts with its only "{", so two
// tokens never overlap, and no replacement character occurs in a token, so
// a replacement never forms a new one.
std::string UnescapeValue(std::string_view text) {
  struct Token {
    std::string_view text;
    char replacement;
  };
  static constexpr Token kTokens[] = {
      {vocab::kTokenCrAlt, '\r'}, {vocab::kTokenCr, '\r'},
      {vocab::kTokenLf, '\n'},    {vocab::kTokenBlank, ' '},
      {vocab::kTokenQuote, '"'},  {vocab::kTokenHash, '#'},
  };
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    bool replaced = false;
    if (text[i] == '{') {
      for (const Token& token : kTokens) {
        if (text.substr(i, token.text.size()) == token.text) {
          out.push_back(token.replacement);
          i += token.text.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

bool ParseFlag(std::string_view value) { return value == vocab::kOn; }

double LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  auto is_digit = [&](size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
  };
  const size_t int_begin = i;
  while (is_digit(i)) ++i;
  const size_t int_end = i;
  size_t frac_begin = i;
  size_t frac_end = i;
  if (i < text.size() && text[i] == '.') {
    frac_begin = ++i;
    while (is_digit(i)) ++i;
    frac_end = i;
  }
  if (int_begin == int_end && frac_begin == frac_end) return 0.0;

  // Rebuilt as plain "digits[.digits]" so that from_chars (locale-free)
  // reads exactly the part that was accepted.
  std::string number = "0";
  number.append(text.substr(int_begin, int_end - int_begin));  // a leading 0 changes nothing
  if (frac_begin != frac_end) {
    number.push_back('.');
    number.append(text.substr(frac_begin, frac_end - frac_begin));
  }
  double value = 0.0;
  const auto result = std::from_chars(number.data(),
                                      number.data() + number.size(), value,
                                      std::chars_format::fixed);
  if (result.ec == std::errc::result_out_of_range) {
    // Too many integer digits overflow to infinity; a tiny fraction is 0.
    const bool big = number.find_first_not_of('0') < number.find('.');
    value = big ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  if (value == 0.0) return 0.0;  // never -0, which would print as "-0"
  return negative ? -value : value;
}

int LeadingInt(std::string_view text) {
  const double value = std::trunc(LeadingNumber(text));
  if (value >= static_cast<double>(std::numeric_limits<int>::max())) {
    return std::numeric_limits<int>::max();
  }
  if (value <= static_cast<double>(std::numeric_limits<int>::min())) {
    return std::numeric_limits<int>::min();
  }
  return static_cast<int>(value);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace tessaly
