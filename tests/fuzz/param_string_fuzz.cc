// Feeds arbitrary bytes to the parameter-string functions. The input is
// split at its first NUL-free "\x01" bytes into params, key and value (a
// missing part is empty), so every byte, NUL included, reaches them.
// Checked properties:
//   - nothing crashes, for any bytes;
//   - after SetParameterValue(p, k, v), GetParameterValue of the result with
//     k gives v, when neither k nor v holds a "#" (a "#" in a value ends it
//     on reading, by design, and one in a key starts a new item: keys come
//     from the fixed vocabulary, which has none) and a state key's value
//     does not itself end in "@@" (that tail is indistinguishable from the
//     stored marker);
//   - UnescapeValue(EscapeValue(x, h)) == x for both h, when x holds none of
//     the six tokens: Unescape turns a token typed as text into its
//     character, so the identity holds exactly for token-free text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "check/param_string.h"
#include "check/vocab.h"

namespace {

bool HoldsToken(std::string_view x) {
  using namespace tessaly::vocab;
  for (const std::string_view token : {kTokenCr, kTokenCrAlt, kTokenLf,
                                       kTokenQuote, kTokenHash, kTokenBlank}) {
    if (x.find(token) != std::string_view::npos) return true;
  }
  return false;
}

std::string_view NextPart(std::string_view* rest) {
  const size_t cut = rest->find('\x01');
  std::string_view part = rest->substr(0, cut);
  rest->remove_prefix(cut == std::string_view::npos ? rest->size() : cut + 1);
  return part;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view rest = input;
  const std::string_view params = NextPart(&rest);
  const std::string_view key = NextPart(&rest);
  const std::string_view value = rest;

  (void)tessaly::GetParameterValue(params, key);
  const std::string set = tessaly::SetParameterValue(params, key, value);
  const std::string_view trimmed = tessaly::TrimBlanks(key);
  const bool state_key = trimmed.substr(0, 2) == tessaly::vocab::kStatePrefix;
  const bool value_ends_marker =
      value.size() >= 2 && value.substr(value.size() - 2) == "@@";
  if (key.find('#') == std::string_view::npos &&
      value.find('#') == std::string_view::npos &&
      !(state_key && value_ends_marker)) {
    Check(tessaly::GetParameterValue(set, key) == value);
  }

  for (const bool escape_hash : {false, true}) {
    const std::string escaped = tessaly::EscapeValue(input, escape_hash);
    const std::string back = tessaly::UnescapeValue(escaped);
    if (!HoldsToken(input)) Check(back == input);
  }
  (void)tessaly::UnescapeValue(input);
  (void)tessaly::ParseFlag(input);
  (void)tessaly::LeadingNumber(input);
  (void)tessaly::LeadingInt(input);
  return 0;
}
