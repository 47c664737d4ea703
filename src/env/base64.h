// Base64 for the stored passwords. Encode is RFC 4648 section 4 (standard
// alphabet, "=" padding, no line breaks) over the bytes of the text. Decode
// is lenient in fixed ways that existing stored strings rely on:
//   - groups of four symbols are decoded one by one; a missing tail counts
//     as "=" padding;
//   - a group's byte count is (place of its first "=") - 1, 3 without "=";
//     an "=" ends only its own group;
//   - "=" and every foreign character read as the value 0 in place;
//   - a group whose first symbol is "=" is the only error.
#ifndef TESSALY_ENV_BASE64_H_
#define TESSALY_ENV_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

namespace tessaly {

std::string Base64Encode(std::string_view bytes);

// The decoded bytes, or std::nullopt for a group that begins with "=".
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace tessaly

#endif  // TESSALY_ENV_BASE64_H_
