// A settings store backed by a registry export file (UTF-8, or UTF-16LE with
// byte-order mark). Reading parses the file; a missing key is appended as an
// empty section in the file's own encoding through ReplaceFileContents, so
// the file is never left half-written, every earlier byte is kept, and a
// symbolic link stays a link to the file it names. The store writes only
// where it may: a file that exists but cannot be read (like a key that
// cannot be opened), is not a regular file, cannot be parsed, may not be
// written by this process, or whose owner could not be kept is never
// written, and nothing is created in its place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "env/registry_file.h"
#include "env/safe_write.h"
#include "env/settings_store.h"

namespace tessaly {
namespace {

enum class ReadOutcome { kRead, kMissing, kUnreadable };

// Reads the whole regular file at path, following links. A FIFO or device
// counts as unreadable and is never waited on.
ReadOutcome ReadWhole(const std::string& path, std::string* data) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A dangling link is no missing file: creating its target is not ours.
    struct stat link {};
    if (errno == ENOENT && ::lstat(path.c_str(), &link) != 0) return ReadOutcome::kMissing;
    return ReadOutcome::kUnreadable;
  }
  ReadOutcome outcome = ReadOutcome::kRead;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) outcome = ReadOutcome::kUnreadable;
  char buffer[8192];
  while (outcome == ReadOutcome::kRead) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) outcome = ReadOutcome::kUnreadable;
    if (n <= 0) break;
    data->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return outcome;
}

class RegistryFileStore : public SettingsStore {
 public:
  explicit RegistryFileStore(std::string path) : path_(std::move(path)) {}

  std::optional<RegistryValue> ReadMachineValue(std::string_view key_path,
                                                std::string_view value_name) override {
    std::string data;
    const ReadOutcome read = ReadWhole(path_, &data);
    if (read == ReadOutcome::kUnreadable) return std::nullopt;
    if (read == ReadOutcome::kRead) {
      const RegistryLookup p = LookupRegistryValue(data, key_path, value_name);
      if (!p.parsed) return std::nullopt;  // never rewrite what could not be parsed
      if (p.key_found) return p.value;
      if (::access(path_.c_str(), W_OK) != 0) return std::nullopt;
    } else {
      data = NewRegistryFileBytes();
    }
    const std::optional<std::string> updated = AppendRegistrySection(data, key_path);
    if (!updated) return std::nullopt;
    ReplaceFileOptions options;
    options.what = "registry file";
    options.create = read == ReadOutcome::kMissing;
    options.new_file_mode = 0644;  // host settings, readable like /etc
    options.follow_links = true;
    options.require_same_owner = true;
    // The outcome is not the caller's concern: the new key is empty anyway.
    (void)ReplaceFileContents(path_, *updated, options);
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
