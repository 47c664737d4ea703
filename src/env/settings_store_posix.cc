// The POSIX side of the host settings: the registry export file stands in
// for the Windows registry, and the bitness test asks the kernel.
#include <sys/utsname.h>

#include <cstdlib>
#include <string>

#include "env/settings_store.h"

namespace tessaly {

std::string DefaultRegistryPath() {
  const char* env = std::getenv("TESSALY_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  return std::string(kDefaultRegistryPath);
}

bool IsWow64() {
  // A 64-bit process is never WOW64. A 32-bit build is when the kernel
  // reports a 64-bit machine; a failing uname counts as "not WOW64".
  if constexpr (sizeof(void*) >= 8) {
    return false;
  } else {
    utsname u{};
    if (uname(&u) != 0) return false;
    const std::string_view machine = u.machine;
    return machine == "x86_64" || machine == "aarch64" || machine == "arm64" ||
           machine == "ppc64" || machine == "ppc64le" || machine == "s390x" ||
           machine == "riscv64" || machine == "mips64" || machine == "sparc64";
  }
}

std::unique_ptr<SettingsStore> NewSystemSettingsStore(const std::string& registry_file) {
  return NewRegistryFileStore(registry_file.empty() ? DefaultRegistryPath() : registry_file);
}

}  // namespace tessaly
