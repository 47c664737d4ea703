// The host's settings, with the semantics of the Windows registry under
// HKEY_LOCAL_MACHINE, and the one setting the check reads from them: the
// SMTP greeting setting PrimaryHELO.
#ifndef TESSALY_ENV_SETTINGS_STORE_H_
#define TESSALY_ENV_SETTINGS_STORE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "env/trace.h"

namespace tessaly {

struct RegistryValue {
  enum class Type { kString, kDword };
  Type type = Type::kString;
  std::string text;         // kString: the stored bytes, terminating NUL included
  std::int32_t number = 0;  // kDword
};

// Abstract so that the greeting-setting logic is tested without a file.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Opens key_path (below HKEY_LOCAL_MACHINE, "\"-separated, matched without
  // regard to case) and reads value_name. A missing key is created empty
  // when the store may be written, and the value is absent. String and
  // dword values are delivered; every other type is absent. Never fails
  // towards the caller: any fault gives std::nullopt.
  virtual std::optional<RegistryValue> ReadMachineValue(std::string_view key_path,
                                                        std::string_view value_name) = 0;
};

// The host's settings on this platform. Windows: the registry itself
// (registry_file is not used). POSIX: the registry export file at
// registry_file, or DefaultRegistryPath() when it is "".
std::unique_ptr<SettingsStore> NewSystemSettingsStore(const std::string& registry_file);

// POSIX: a store backed by a registry export file ("Windows Registry Editor
// Version 5.00"), UTF-8 or UTF-16LE with byte-order mark. A missing file is
// created (mode 0644) with the missing key. A missing key is appended to an
// existing file only when this process may write the file and keep its
// owner; the write keeps every other byte, the mode and the owner, and
// goes to the final target of a symbolic link. A file that exists but
// cannot be read counts as a key that cannot be opened: the value is
// absent and nothing is written or created.
std::unique_ptr<SettingsStore> NewRegistryFileStore(std::string path);

// POSIX: $TESSALY_REGISTRY when set and not empty, else kDefaultRegistryPath.
std::string DefaultRegistryPath();
inline constexpr std::string_view kDefaultRegistryPath = "/etc/tessaly/registry.reg";

// Windows: the registry under HKEY_LOCAL_MACHINE through the ANSI registry
// functions. Keys are opened with access kRegistryAccess; a key that does not
// exist (error 2) is created empty with the same access when the process
// may, and its value counts as absent. A REG_SZ value is delivered with the
// bytes the registry reports, terminating NUL included; REG_DWORD as its
// number; every other type, and every failure, as absent.
std::unique_ptr<SettingsStore> NewWindowsRegistryStore();
inline constexpr unsigned long kRegistryAccess = 0x2003F;  // NOLINT(runtime/int)

// True when this process is 32-bit code on a 64-bit kernel (Windows:
// IsWow64Process; false when that function is missing or fails).
bool IsWow64();
// "SOFTWARE\Wow6432Node\Brenmoor\Vigilor" when is_wow64, else
// "SOFTWARE\Brenmoor\Vigilor".
std::string HostRegistryRoot(bool is_wow64);

// The greeting setting: PrimaryHELO of HostRegistryRoot + "\SMTP" as text,
// trailing NUL stripped, blanks trimmed, "5" when empty or absent. Traces
// "HELO reg info " + setting every time.
std::string GetPrimaryHeloSetting(SettingsStore& store, TraceSink& trace,
                                  bool is_wow64 = IsWow64());

}  // namespace tessaly

#endif  // TESSALY_ENV_SETTINGS_STORE_H_
