// A settings store backed by a registry export file. Read-only use parses
// the file; a missing key is appended as an empty section, written via a
// temporary file and rename so the file is never left half-written. A file
// that cannot be parsed is never rewritten. Only UTF-8 (with or without
// byte-order mark) files are parsed today; a UTF-16 file counts as
// unparseable, so its values are absent and it is left untouched.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "env/settings_store.h"

namespace tessaly {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE\\";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

struct Parsed {
  bool ok = false;
  bool key_found = false;
  std::optional<RegistryValue> value;
};

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

Parsed Parse(const std::string& data, std::string_view key, std::string_view name) {
  Parsed p;
  std::string_view text = data;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::istringstream in{std::string(text)};
  std::string line;
  if (!std::getline(in, line)) return p;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kHeader) return p;
  const std::string want_key = Lower(std::string(kRoot) + std::string(key));
  const std::string want_name = Lower(name);
  bool in_key = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return p;
      in_key = Lower(line.substr(1, line.size() - 2)) == want_key;
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
    std::string_view rest = std::string_view(line).substr(used + 1);
    while (!rest.empty() && rest.back() == '\\') {  // continuation lines
      std::string next;
      if (!std::getline(in, next)) return p;
      if (!next.empty() && next.back() == '\r') next.pop_back();
      line = std::string(rest.substr(0, rest.size() - 1)) + next;
      rest = line;
    }
    if (!in_key || Lower(vname) != want_name) continue;
    std::string str;
    if (!rest.empty() && rest[0] == '"') {
      if (ParseQuoted(rest, &str) == 0) return p;
      str.push_back('\0');  // as the Windows API delivers it
      p.value = RegistryValue{RegistryValue::Type::kString, str, 0};
    } else if (rest.substr(0, 6) == "dword:" && rest.size() == 14) {
      std::uint32_t v = 0;
      for (char c : rest.substr(6)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return p;
        v = v * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(c) - 'a' + 10);
      }
      p.value = RegistryValue{RegistryValue::Type::kDword, "", static_cast<std::int32_t>(v)};
    } else {
      p.value.reset();  // hex(2), hex(1) and every other type count as absent
    }
  }
  p.ok = true;
  return p;
}

class RegistryFileStore : public SettingsStore {
 public:
  explicit RegistryFileStore(std::string path) : path_(std::move(path)) {}

  std::optional<RegistryValue> ReadMachineValue(std::string_view key_path,
                                                std::string_view value_name) override {
    std::string data;
    bool exists = false;
    {
      std::ifstream in(path_, std::ios::binary);
      if (in) {
        exists = true;
        std::ostringstream ss;
        ss << in.rdbuf();
        data = ss.str();
      }
    }
    if (exists) {
      const Parsed p = Parse(data, key_path, value_name);
      if (!p.ok) return std::nullopt;  // never rewrite what could not be parsed
      if (p.key_found) return p.value;
    } else {
      data = std::string(kHeader) + "\r\n";
    }
    if (access(path_.c_str(), W_OK) != 0 && exists) return std::nullopt;
    if (!data.empty() && data.back() != '\n') data += "\r\n";
    data += "\r\n[" + std::string(kRoot) + std::string(key_path) + "]\r\n";
    const std::string tmp = path_ + ".tmp" + std::to_string(getpid());
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      if (!out) return std::nullopt;
      out << data;
      out.flush();
      if (!out) {
        std::remove(tmp.c_str());
        return std::nullopt;
      }
    }
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) std::remove(tmp.c_str());
    return std::nullopt;
  }

 private:
  std::string path_;
};

}  // namespace

std::unique_ptr<SettingsStore> NewRegistryFileStore(std::string path) {
  return std::make_unique<RegistryFileStore>(std::move(path));
}

}  // namespace tessaly
