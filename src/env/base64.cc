#include "env/base64.h"

#include <cstdint>

namespace tessaly {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a symbol; "=" and every foreign byte read as 0.
uint32_t SymbolValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

uint32_t Byte(std::string_view bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]);
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    const uint32_t b1 = Byte(bytes, i);
    const uint32_t b2 = left > 1 ? Byte(bytes, i + 1) : 0;
    const uint32_t b3 = left > 2 ? Byte(bytes, i + 2) : 0;
    out.push_back(kAlphabet[b1 >> 2]);
    out.push_back(kAlphabet[((b1 << 4) & 0x30) | (b2 >> 4)]);
    out.push_back(left > 1 ? kAlphabet[((b2 << 2) & 0x3C) | (b3 >> 6)] : '=');
    out.push_back(left > 2 ? kAlphabet[b3 & 0x3F] : '=');
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  out.reserve((text.size() + 3) / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    // Places beyond the end of the text count as "=".
    char group[4] = {'=', '=', '=', '='};
    for (size_t p = 0; p < 4 && i + p < text.size(); ++p) group[p] = text[i + p];
    // Byte count: (place of the first "=") - 1, or 3 without "=". Foreign
    // bytes do not change it.
    int count = 3;
    for (int p = 3; p >= 0; --p) {
      if (group[p] == '=') count = p - 1;
    }
    if (count < 0) return std::nullopt;
    const uint32_t a0 = SymbolValue(group[0]);
    const uint32_t a1 = SymbolValue(group[1]);
    const uint32_t a2 = SymbolValue(group[2]);
    const uint32_t a3 = SymbolValue(group[3]);
    const char decoded[3] = {
        static_cast<char>(((a0 << 2) | (a1 >> 4)) & 0xFF),
        static_cast<char>(((a1 << 4) | (a2 >> 2)) & 0xFF),
        static_cast<char>(((a2 << 6) | a3) & 0xFF),
    };
    out.append(decoded, static_cast<size_t>(count));
  }
  return out;
}

}  // namespace tessaly
