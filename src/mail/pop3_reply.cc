#include "mail/pop3_reply.h"

#include <algorithm>

#include <cctype>
#include <string>

namespace tessaly {
namespace {

bool StartsWord(std::string_view line, std::string_view word) {
  return line.substr(0, word.size()) == word &&
         (line.size() == word.size() || line[word.size()] == ' ');
}

// A decimal number at the start of *text, advanced past it.
bool TakeNumber(std::string_view* text, std::int64_t max, std::int64_t* value) {
  std::size_t i = 0;
  std::int64_t v = 0;
  while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9') {
    v = v * 10 + ((*text)[i] - '0');
    if (v > max) return false;
    ++i;
  }
  if (i == 0) return false;
  text->remove_prefix(i);
  *value = v;
  return true;
}

}  // namespace

Pop3Status ClassifyPop3Status(std::string_view line) {
  if (StartsWord(line, "+OK")) return Pop3Status::kOk;
  if (StartsWord(line, "-ERR")) return Pop3Status::kErr;
  return Pop3Status::kInvalid;
}

bool ParseStat(std::string_view line, std::int32_t* count) {
  if (!StartsWord(line, "+OK") || line.size() < 5) return false;
  std::string_view rest = line.substr(4);
  std::int64_t n = 0;
  std::int64_t octets = 0;
  if (!TakeNumber(&rest, INT32_MAX, &n)) return false;
  if (rest.empty() || rest.front() != ' ') return false;
  rest.remove_prefix(1);
  if (!TakeNumber(&rest, INT64_MAX / 10, &octets)) return false;
  if (!rest.empty() && rest.front() != ' ') return false;
  *count = static_cast<std::int32_t>(n);
  return true;
}

void Pop3Capabilities::Add(std::string_view line) {
  std::string word;
  for (char c : line.substr(0, line.find(' '))) {
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (word == "TOP") top = true;
  if (word == "PIPELINING") pipelining = true;
  if (word == "STLS") stls = true;
  if (word == "USER") user = true;
  if (word == "SASL") {
    sasl_listed = true;
    std::string_view rest = line.substr(std::min(line.size(), std::size_t{4}));
    while (!rest.empty()) {
      const std::size_t start = rest.find_first_not_of(' ');
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
      const std::size_t end = rest.find(' ');
      sasl.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
  }
}

}  // namespace tessaly
