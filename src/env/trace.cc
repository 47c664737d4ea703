// Trace helpers shared by every platform; the platform sinks are in
// trace_posix.cc and trace_win.cc.
#include "env/trace.h"

namespace tessaly {
namespace {

constexpr char kHex[] = "0123456789abcdef";

class DiscardTraceSink : public TraceSink {
 public:
  void Line(std::string_view /*text*/) override {}
};

}  // namespace

std::string VisibleLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0x0f]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

TraceSink& NullTraceSink() {
  static DiscardTraceSink sink;
  return sink;
}

}  // namespace tessaly
