#include "host/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "check/param_string.h"
#include "check/vocab.h"
#include "env/fd_posix.h"
#include "env/safe_write.h"

namespace tessaly {
namespace {

Status Errno(const std::string& path, const char* what, int err) {
  return Status::Error("state file " + path + ": " + what + ": " +
                           std::strerror(err),
                       err);
}

// Reads the whole file; *exists is false (and ok) when it is missing.
Status ReadWhole(const std::string& path, std::string* bytes, bool* exists,
                 struct stat* info) {
  bytes->clear();
  *exists = false;
  Fd fd(OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    if (errno == ENOENT) return Status::Ok();
    return Errno(path, "cannot open", errno);
  }
  if (::fstat(fd.get(), info) != 0) return Errno(path, "cannot stat", errno);
  if (!S_ISREG(info->st_mode)) {
    return Status::Error("state file " + path + ": not a regular file",
                         EINVAL);
  }
  if (static_cast<unsigned long long>(info->st_size) > kMaxStateFileBytes) {
    return Status::Error("state file " + path + ": larger than " +
                             std::to_string(kMaxStateFileBytes) + " bytes",
                         EFBIG);
  }
  *exists = true;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      bytes->clear();
      return Errno(path, "cannot read", errno);
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
    if (bytes->size() > kMaxStateFileBytes) {  // grew while being read
      bytes->clear();
      return Status::Error("state file " + path + ": larger than " +
                               std::to_string(kMaxStateFileBytes) + " bytes",
                           EFBIG);
    }
  }
  if (!bytes->empty() && bytes->back() == '\n') bytes->pop_back();
  return Status::Ok();
}

// True when a password key has a value: such a file is for its owner alone.
bool HoldsPassword(std::string_view parameter) {
  // The OAuth secrets and cached access tokens count as passwords.
  for (std::string_view key :
       {vocab::kSmtpPassword, vocab::kMailPassword, vocab::kSmtpClientSecret,
        vocab::kMailClientSecret, vocab::kSmtpRefreshToken, vocab::kMailRefreshToken,
        vocab::kSmtpAccessToken, vocab::kMailAccessToken}) {
    if (!GetParameterValue(parameter, key).empty()) return true;
  }
  return false;
}

// Takes the exclusive lock, polling so that the wait stays bounded.
Status Lock(const std::string& path, std::chrono::milliseconds wait, Fd* fd) {
  const std::string lock_path = path + ".lock";
  fd->Reset();
  Fd opened(OpenRetrying(lock_path.c_str(),
                         O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!opened.valid()) return Errno(lock_path, "cannot open lock file", errno);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return Errno(lock_path, "cannot lock", errno);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return Status::Error(
          "state file " + path + ": busy, another run holds " + lock_path +
              " (waited " + std::to_string(wait.count()) + " ms)",
          EWOULDBLOCK);
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(10), deadline - now));
  }
  *fd = std::move(opened);
  return Status::Ok();
}

}  // namespace

Status ReadStateFile(const std::string& path, std::string* parameter) {
  bool exists = false;
  struct stat info {};
  return ReadWhole(path, parameter, &exists, &info);
}

Status UpdateStateFile(
    const std::string& path, std::chrono::milliseconds lock_wait,
    const std::function<Status(std::string* parameter)>& update) {
  Fd lock;
  Status status = Lock(path, lock_wait, &lock);
  if (!status.ok()) return status;
  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode)) {
    return Status::Error(
        "state file " + path + ": is a symbolic link, refusing to replace it",
        ELOOP);
  }

  std::string old_value;
  bool existed = false;
  struct stat info {};
  status = ReadWhole(path, &old_value, &existed, &info);
  if (!status.ok()) return status;

  std::string value = old_value;
  status = update(&value);
  if (!status.ok()) return status;
  const bool password = HoldsPassword(value);
  if (existed && value == old_value && !(password && (info.st_mode & 077) != 0)) {
    return Status::Ok();
  }
  ReplaceFileOptions options;
  options.what = "state file";
  options.new_file_mode = 0600;
  // Passwords are for the owner alone, whatever the file's bits were.
  if (password) options.clear_mode_bits = 077;
  return ReplaceFileContents(path, value + "\n", options);
}

}  // namespace tessaly
