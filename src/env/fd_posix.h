// A file descriptor that closes itself, and open(2) that retries an
// interrupted call: the POSIX file code's shared pieces (safe_write_posix.cc,
// the command-line host's state file).
#ifndef TESSALY_ENV_FD_POSIX_H_
#define TESSALY_ENV_FD_POSIX_H_

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace tessaly {

// Owns a descriptor and closes it when it goes out of scope. Move-only.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports close's own error (it can carry a write error).
  int Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }
  // Closes now, ignoring close's result.
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// open(2), called again while it is interrupted by a signal; -1 with errno
// set on failure.
inline int OpenRetrying(const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace tessaly

#endif  // TESSALY_ENV_FD_POSIX_H_
