// Trace lines: the check's account of its own work. Each line is delivered
// whole, in the order written, with no time stamp or level added. Sinks make
// an embedded line break visible instead of splitting the line.
#ifndef TESSALY_ENV_TRACE_H_
#define TESSALY_ENV_TRACE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// Abstract so that tests can capture what the check traced.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Line(std::string_view text) = 0;
};

// Returns text with CR, LF and other control bytes written as visible
// escapes ("\r", "\n", "\xNN"), so that one trace line stays one line.
std::string VisibleLine(std::string_view text);

// POSIX: syslog(3) with ident "tessaly", facility LOG_USER, priority
// LOG_DEBUG.
std::unique_ptr<TraceSink> NewSyslogTraceSink();
// POSIX: one line per trace line on stderr.
std::unique_ptr<TraceSink> NewStderrTraceSink();
// Windows: the system debugger output, one OutputDebugStringA call per line
// with no line end added. The check's text is already in the ANSI code page
// there, so the bytes go out as they are.
std::unique_ptr<TraceSink> NewDebuggerTraceSink();
// Discards every line.
TraceSink& NullTraceSink();

// Keeps every line in memory, unchanged; for tests.
class CaptureTraceSink : public TraceSink {
 public:
  void Line(std::string_view text) override { lines_.emplace_back(text); }
  const std::vector<std::string>& lines() const { return lines_; }
  void Clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

}  // namespace tessaly

#endif  // TESSALY_ENV_TRACE_H_
