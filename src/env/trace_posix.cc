// The POSIX trace sinks: syslog(3) and stderr.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "env/trace.h"

namespace tessaly {
namespace {

class SyslogTraceSink : public TraceSink {
 public:
  SyslogTraceSink() {
    // openlog keeps the ident pointer, so it must be a string literal; one
    // call per process is enough and std::call_once makes it thread-safe.
    static std::once_flag once;
    std::call_once(once, [] { openlog("tessaly", LOG_PID | LOG_NDELAY, LOG_USER); });
  }
  void Line(std::string_view text) override {
    const std::string line = VisibleLine(text);
    // syslog(3) is thread-safe and sends one record per call.
    syslog(LOG_USER | LOG_DEBUG, "%s", line.c_str());
  }
};

class StderrTraceSink : public TraceSink {
 public:
  void Line(std::string_view text) override {
    std::string line = VisibleLine(text);
    line.push_back('\n');
    // One write(2) per line: concurrent writers to the same descriptor never
    // interleave inside a line of pipe-buffer size. The mutex keeps lines of
    // this process whole even when a write is split.
    std::lock_guard<std::mutex> lock(Mutex());
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // stderr closed or broken: the trace is lost, the check goes on
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
};

}  // namespace

std::unique_ptr<TraceSink> NewSyslogTraceSink() { return std::make_unique<SyslogTraceSink>(); }

std::unique_ptr<TraceSink> NewStderrTraceSink() { return std::make_unique<StderrTraceSink>(); }

}  // namespace tessaly
