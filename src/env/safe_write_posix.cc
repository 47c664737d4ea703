// Safe whole-file replacement on POSIX systems (see safe_write.h).
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "env/fd_posix.h"
#include "env/safe_write.h"

namespace tessaly {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// 16 hex digits from the kernel's random source. Without it a mix of clock,
// process id and a counter: O_EXCL keeps any name safe, the randomness only
// keeps a neighbour from occupying the name beforehand.
std::string RandomSuffix() {
  std::uint64_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
    static std::atomic<std::uint64_t> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    v = static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(::getpid()) << 40) ^
        (++counter * 0x9E3779B97F4A7C15ull);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (char& c : out) {
    c = kHex[v & 0xF];
    v >>= 4;
  }
  return out;
}

// The same version of the same file: nobody replaced or rewrote it.
bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

int WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

Status ReplaceFileContents(const std::string& path, std::string_view content,
                           const ReplaceFileOptions& options) {
  struct {
    const std::string& path;
    const ReplaceFileOptions& options;
    Status Fault(const std::string& reason, int code) const {
      return Status::Error(std::string(options.what) + " " + path + ": " + reason, code);
    }
    Status Errno(const char* what, int err) const {
      return Fault(std::string(what) + ": " + std::strerror(err), err);
    }
  } const r{path, options};
  std::string target = path;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (!options.follow_links) {
      return r.Fault("is a symbolic link, refusing to replace it", ELOOP);
    }
    // The rename goes over the final target so that every link stays a link.
    // A dangling link names no file to write: nothing is created for it.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return r.Errno("cannot resolve its symbolic link", errno);
    target = resolved;
    std::free(resolved);
  }
  bool existed = true;
  if (::lstat(target.c_str(), &info) != 0) {
    if (errno != ENOENT) return r.Errno("cannot stat", errno);
    if (!options.create) return r.Errno("cannot replace", ENOENT);
    existed = false;
  } else if (!S_ISREG(info.st_mode)) {
    return r.Fault("not a regular file", EINVAL);
  }

  std::string tmp;
  Fd fd;
  for (int attempt = 0; attempt < 8; ++attempt) {
    tmp = target + ".tmp." + RandomSuffix();
    fd = Fd(OpenRetrying(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         0600));
    if (fd.valid() || errno != EEXIST) break;
  }
  if (!fd.valid()) return r.Errno("cannot create temporary file", errno);

  // The contents go in while the file is still 0600 and ours; owner and
  // mode follow, so nobody can open it in between with wider rights.
  Status status;
  if (const int err = WriteAll(fd.get(), content); err != 0) {
    status = r.Errno("cannot write", err);
  }
  if (status.ok() && existed) {
    // Only a privileged process may hand the file back to another owner;
    // the group alone may still be kept when the process belongs to it.
    if (::fchown(fd.get(), info.st_uid, info.st_gid) != 0) {
      (void)::fchown(fd.get(), static_cast<uid_t>(-1), info.st_gid);
    }
    struct stat mine {};
    if (::fstat(fd.get(), &mine) != 0) {
      status = r.Errno("cannot stat temporary file", errno);
    } else if (options.require_same_owner &&
               (mine.st_uid != info.st_uid || mine.st_gid != info.st_gid)) {
      status = r.Fault("cannot keep its owner and group, not replaced", EPERM);
    }
  }
  const mode_t mode = existed ? (info.st_mode & 0777 & ~options.clear_mode_bits)
                              : (options.new_file_mode & 0777);
  if (status.ok() && ::fchmod(fd.get(), mode) != 0) status = r.Errno("cannot chmod", errno);
  if (status.ok() && ::fsync(fd.get()) != 0) status = r.Errno("cannot sync", errno);
  if (fd.Close() != 0 && status.ok()) status = r.Errno("cannot close", errno);
  if (status.ok()) {
    struct stat now {};
    const bool present = ::lstat(target.c_str(), &now) == 0;
    if (present != existed || (existed && !SameVersion(info, now))) {
      status = r.Fault("changed by another writer meanwhile, not replaced", EAGAIN);
    }
  }
  if (status.ok() && ::rename(tmp.c_str(), target.c_str()) != 0) {
    status = r.Errno("cannot rename temporary file over it", errno);
  }
  if (!status.ok()) {
    ::unlink(tmp.c_str());
    return status;
  }
  // The rename is durable only once the directory entry is on disk.
  Fd dir(OpenRetrying(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid() || ::fsync(dir.get()) != 0) {
    return r.Errno("written, but cannot sync its directory", errno);
  }
  return Status::Ok();
}

}  // namespace tessaly
