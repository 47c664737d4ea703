// The name the check gives for itself in the SMTP greeting, built from the
// host's greeting setting: a literal name, or a digit "0" to "5" that picks
// the SMTP server name, the computer name, the DNS domain or an adapter
// address. Never fails and never returns a blank name.
#ifndef TESSALY_ENV_HELO_NAME_H_
#define TESSALY_ENV_HELO_NAME_H_

#include <string>
#include <string_view>

#include "env/os_facts.h"

namespace tessaly {

// Stands in when no usable name results; the .invalid domain is reserved
// and can never resolve.
inline constexpr std::string_view kPlaceholderHeloName = "tessaly.host.invalid";

std::string BuildHeloName(std::string_view setting, std::string_view smtp_server,
                          OsFacts& os);

// The adapter addresses other than "0.0.0.0", joined by separator.
std::string GetAdapterAddresses(OsFacts& os, std::string_view separator);

}  // namespace tessaly

#endif  // TESSALY_ENV_HELO_NAME_H_
