// A settings store backed by a registry export file (UTF-8, or UTF-16LE with
// byte-order mark). Reading parses the file; a missing key is appended as an
// empty section in the file's own encoding, written via a temporary file and
// rename so the file is never left half-written and every earlier byte is
// kept. A file that cannot be parsed is never rewritten.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "env/registry_file.h"
#include "env/settings_store.h"

namespace tessaly {
namespace {

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
      const RegistryLookup p = LookupRegistryValue(data, key_path, value_name);
      if (!p.parsed) return std::nullopt;  // never rewrite what could not be parsed
      if (p.key_found) return p.value;
      if (access(path_.c_str(), W_OK) != 0) return std::nullopt;
    } else {
      data = NewRegistryFileBytes();
    }
    const std::optional<std::string> updated = AppendRegistrySection(data, key_path);
    if (!updated) return std::nullopt;
    const std::string tmp = path_ + ".tmp" + std::to_string(getpid());
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      if (!out) return std::nullopt;
      out << *updated;
      out.flush();
      if (!out) {
        out.close();
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
