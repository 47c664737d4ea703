// The Windows trace sink: the system debugger output.
#include <windows.h>

#include "env/trace.h"

namespace tessaly {
namespace {

class DebuggerTraceSink : public TraceSink {
 public:
  void Line(std::string_view text) override {
    const std::string line = VisibleLine(text);
    OutputDebugStringA(line.c_str());
  }
};

}  // namespace

std::unique_ptr<TraceSink> NewDebuggerTraceSink() {
  return std::make_unique<DebuggerTraceSink>();
}

}  // namespace tessaly
