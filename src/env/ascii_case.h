// Comparison of protocol words, property names and flags that ignores the
// case of ASCII letters only, whatever the process's locale.
#ifndef TESSALY_ENV_ASCII_CASE_H_
#define TESSALY_ENV_ASCII_CASE_H_

#include <algorithm>
#include <string_view>

namespace tessaly {

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

}  // namespace tessaly

#endif  // TESSALY_ENV_ASCII_CASE_H_
