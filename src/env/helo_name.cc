#include "env/helo_name.h"

#include <string>

#include "check/vocab.h"

namespace tessaly {
namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The numeric test of the greeting setting. A setting is a number when,
// apart from blanks around it, it is an optional sign followed by one or
// more ASCII digits. Decimal fractions never get here (a "." makes the
// setting a literal name), and exponent, hexadecimal, grouping and currency
// forms are deliberately not numbers: such a setting is used as a literal
// name, which is the conservative reading of an odd setting. On success
// *value is the number, saturated far outside 0..5 for long digit runs.
bool ParseNumericSetting(std::string_view s, long* value) {
  s = TrimSpaces(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v < 1000000) v = v * 10 + (c - '0');
  }
  *value = negative ? -v : v;
  return true;
}

std::string FirstAdapterAddress(OsFacts& os) {
  const std::string list = GetAdapterAddresses(os, vocab::kAdapterSeparator);
  return list.substr(0, list.find(vocab::kAdapterSeparator));
}

std::string NameWithDomain(const std::string& computer, const std::string& domain) {
  if (domain.empty()) return computer + "." + std::string(vocab::kNoDomainName);
  return computer + "." + domain;
}

}  // namespace

std::string BuildHeloName(std::string_view setting, std::string_view smtp_server,
                          OsFacts& os) {
  std::string computer;
  if (!os.ComputerName(&computer)) computer = std::string(vocab::kUnknownComputerName);
  const std::string domain = os.DnsDomain();

  std::string result;
  long number = 0;
  if (setting.find('.') != std::string_view::npos || !ParseNumericSetting(setting, &number)) {
    result = std::string(setting);
  } else {
    std::string_view choice = setting;
    if (number < 0 || number > 5) choice = vocab::kDefaultHeloSetting;
    if (choice == "0") {
      result = smtp_server.empty() ? std::string(vocab::kNoMailServerName)
                                   : std::string(smtp_server);
    } else if (choice == "1") {
      result = computer;
    } else if (choice == "2") {
      result = domain.empty() ? std::string(vocab::kNoDomainName) : domain;
    } else if (choice == "3") {
      result = NameWithDomain(computer, domain);
    } else if (choice == "4") {
      result = FirstAdapterAddress(os);
    } else if (choice == "5") {
      result = domain.empty() ? FirstAdapterAddress(os) : computer + "." + domain;
    }
    // Any other numeric text in range ("03", "+1", "-0") selects nothing.
  }

  const std::string_view trimmed = TrimSpaces(result);
  if (trimmed.empty() || trimmed == ".") return std::string(kPlaceholderHeloName);
  return result;
}

std::string GetAdapterAddresses(OsFacts& os, std::string_view separator) {
  std::string out;
  for (const std::string& address : os.AdapterAddresses()) {
    if (address == "0.0.0.0") continue;
    out += address;
    out += separator;
  }
  // An empty separator would never stop matching the end of the text.
  if (!separator.empty()) {
    while (out.size() >= separator.size() &&
           std::string_view(out).substr(out.size() - separator.size()) == separator) {
      out.resize(out.size() - separator.size());
    }
  }
  return out;
}

}  // namespace tessaly
