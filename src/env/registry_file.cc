// Registry export file parser and section writer (see registry_file.h).
#include "env/registry_file.h"

#include <cctype>
#include <cstdint>
#include <sstream>

namespace tessaly {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE\\";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void PutUtf8(std::uint32_t cp, std::string* out) {
  auto put = [out](std::uint32_t b) { out->push_back(static_cast<char>(b)); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

void PutUtf16Le(std::uint32_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

// Strict UTF-8 to UTF-16LE; std::nullopt on any ill-formed sequence.
std::optional<std::string> Utf8ToUtf16Le(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = b0 < 0x80 ? 1 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : b0 >= 0xE0 && b0 < 0xF0 ? 3
                                  : b0 >= 0xF0 && b0 < 0xF5  ? 4 : 0;
    if (len == 0 || i + len > s.size()) return std::nullopt;
    std::uint32_t cp = len == 1 ? b0 : b0 & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
    if (cp >= 0x10000) {
      PutUtf16Le(0xD800 + ((cp - 0x10000) >> 10), &out);
      PutUtf16Le(0xDC00 + ((cp - 0x10000) & 0x3FF), &out);
    } else {
      PutUtf16Le(cp, &out);
    }
    i += len;
  }
  return out;
}

// Parses "text" with \\ and \" escapes from s at position 0; returns chars used.
std::size_t ParseQuoted(std::string_view s, std::string* out) {
  if (s.empty() || s[0] != '"') return 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      out->push_back(s[++i]);
    } else if (s[i] == '"') {
      return i + 1;
    } else {
      out->push_back(s[i]);
    }
  }
  return 0;
}

bool GetLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Parses a decoded text; see LookupRegistryValue.
RegistryLookup Parse(const std::string& text, std::string_view key, std::string_view name) {
  RegistryLookup p;
  std::istringstream in{text};
  std::string line;
  if (!GetLine(in, &line) || line != kHeader) return p;
  const std::string want_key = Lower(std::string(kRoot) + std::string(key));
  const std::string want_name = Lower(name);
  bool in_key = false;
  while (GetLine(in, &line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return p;
      in_key = Lower(std::string_view(line).substr(1, line.size() - 2)) == want_key;
      p.key_found = p.key_found || in_key;
      continue;
    }
    std::string vname;
    std::size_t used = 0;
    if (line[0] == '@') {
      used = 1;
    } else {
      used = ParseQuoted(line, &vname);
      if (used == 0) return p;
    }
    if (used >= line.size() || line[used] != '=') return p;
    std::string rest = line.substr(used + 1);
    while (!rest.empty() && rest.back() == '\\') {  // continuation lines
      std::string next;
      if (!GetLine(in, &next)) return p;
      rest.pop_back();
      rest += next;
    }
    // The value's syntax is checked on every line, so whether a file parses
    // never depends on which value is looked up.
    std::optional<RegistryValue> value;
    const std::string_view r = rest;
    if (!r.empty() && r[0] == '"') {
      std::string str;
      if (ParseQuoted(r, &str) == 0) return p;
      str.push_back('\0');  // as the Windows API delivers it
      value = RegistryValue{RegistryValue::Type::kString, str, 0};
    } else if (r.substr(0, 6) == "dword:" && r.size() == 14) {
      std::uint32_t v = 0;
      for (char c : r.substr(6)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return p;
        v = v * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(c) - 'a' + 10);
      }
      value = RegistryValue{RegistryValue::Type::kDword, "", static_cast<std::int32_t>(v)};
    }  // hex(2), hex(1) and every other type count as absent
    if (in_key && Lower(vname) == want_name) p.value = value;
  }
  p.parsed = true;
  return p;
}

}  // namespace

std::optional<std::string> DecodeRegistryText(std::string_view bytes,
                                              RegistryEncoding* encoding) {
  if (bytes.substr(0, 2) != kUtf16LeBom) {
    *encoding = RegistryEncoding::kUtf8;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    return std::string(bytes);
  }
  *encoding = RegistryEncoding::kUtf16Le;
  bytes.remove_prefix(2);
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  auto unit = [bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  };
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint32_t cp = unit(i);
    if (cp >= 0xDC00 && cp < 0xE000) return std::nullopt;  // low surrogate first
    if (cp >= 0xD800 && cp < 0xDC00) {
      if (i + 2 >= bytes.size()) return std::nullopt;
      const std::uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low >= 0xE000) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    PutUtf8(cp, &out);
  }
  return out;
}

RegistryLookup LookupRegistryValue(std::string_view bytes, std::string_view key_path,
                                   std::string_view value_name) {
  RegistryEncoding encoding;
  const std::optional<std::string> text = DecodeRegistryText(bytes, &encoding);
  if (!text) return RegistryLookup{};
  return Parse(*text, key_path, value_name);
}

std::string NewRegistryFileBytes() { return std::string(kHeader) + "\r\n"; }

std::optional<std::string> AppendRegistrySection(std::string_view bytes,
                                                 std::string_view key_path) {
  if (key_path.find_first_of("\r\n]") != std::string_view::npos) return std::nullopt;
  RegistryEncoding encoding;
  const std::optional<std::string> text = DecodeRegistryText(bytes, &encoding);
  if (!text || !Parse(*text, "", "").parsed) return std::nullopt;
  std::string add;
  if (!text->empty() && text->back() != '\n') add = text->back() == '\r' ? "\n" : "\r\n";
  add += "\r\n[" + std::string(kRoot) + std::string(key_path) + "]\r\n";
  const std::optional<std::string> wide = Utf8ToUtf16Le(add);
  if (!wide) return std::nullopt;  // key_path is not UTF-8 text
  std::string out(bytes);
  out += encoding == RegistryEncoding::kUtf8 ? add : *wide;
  return out;
}

}  // namespace tessaly
