#include "env/settings_store.h"

#include <string>

#include "check/vocab.h"

namespace tessaly {
namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string StripTrailingNul(std::string text) {
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace

std::string HostRegistryRoot(bool is_wow64) {
  return std::string(is_wow64 ? vocab::kHostKeyWow64 : vocab::kHostKey);
}

std::string GetPrimaryHeloSetting(SettingsStore& store, TraceSink& trace, bool is_wow64) {
  const std::string key = HostRegistryRoot(is_wow64) + std::string(vocab::kSmtpSubkey);
  const std::optional<RegistryValue> value =
      store.ReadMachineValue(key, vocab::kPrimaryHeloValue);
  std::string text;
  if (value) {
    text = value->type == RegistryValue::Type::kDword ? std::to_string(value->number)
                                                      : value->text;
  }
  text = std::string(TrimSpaces(StripTrailingNul(std::move(text))));
  if (text.empty()) text = std::string(vocab::kDefaultHeloSetting);
  trace.Line(std::string(vocab::kTraceHelo) + text);
  return text;
}

}  // namespace tessaly
