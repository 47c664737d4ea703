#include "dialog/qt/x_display_probe.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

namespace tessaly::dialog {
namespace {

// libxcb's C interface, the three calls needed, resolved at run time so the
// module does not link the library itself (Qt's xcb plugin does).
struct XcbConnection;
using XcbConnect = XcbConnection* (*)(const char* display, int* screen);
using XcbHasError = int (*)(XcbConnection*);
using XcbDisconnect = void (*)(XcbConnection*);

// xcb_connection_has_error codes (xcb.h).
constexpr int kXcbParseError = 5;
constexpr int kXcbInvalidScreen = 6;

std::string_view Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

}  // namespace

std::string ProbeXDisplay() {
  const std::string_view platform = Env("QT_QPA_PLATFORM");
  const bool xcb_chosen = platform == "xcb" || platform.substr(0, 4) == "xcb:";
  if (!platform.empty() && !xcb_chosen) return {};
  const std::string_view display = Env("DISPLAY");
  if (!xcb_chosen && (display.empty() || !Env("WAYLAND_DISPLAY").empty())) return {};
  if (display.empty()) return "QT_QPA_PLATFORM is xcb but DISPLAY is not set";

  const std::string named = "the X server of DISPLAY=" + std::string(display);
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) {
    const char* why = dlerror();
    return "cannot load libxcb.so.1 to reach " + named + ": " + (why ? why : "unknown error");
  }
  auto connect = reinterpret_cast<XcbConnect>(dlsym(xcb, "xcb_connect"));
  auto has_error = reinterpret_cast<XcbHasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<XcbDisconnect>(dlsym(xcb, "xcb_disconnect"));
  std::string problem;
  if (connect == nullptr || has_error == nullptr || disconnect == nullptr) {
    problem = "libxcb.so.1 lacks xcb_connect; cannot reach " + named;
  } else {
    // xcb_connect always returns a connection object, an erroneous one when
    // it failed; both are released with xcb_disconnect. Asking for the screen
    // makes it check that the screen DISPLAY names exists, as Qt needs.
    int screen = 0;
    XcbConnection* connection = connect(nullptr, &screen);
    switch (has_error(connection)) {
      case 0:
        break;
      case kXcbParseError:
        problem = "DISPLAY=" + std::string(display) + " is not a valid X display name";
        break;
      case kXcbInvalidScreen:
        problem = named + " has no such screen";
        break;
      default:
        problem = "cannot connect to " + named +
                  " (no X server there, or it refused this user)";
        break;
    }
    disconnect(connection);
  }
  // Kept loaded: Qt's xcb plugin uses the same library next.
  return problem;
}

}  // namespace tessaly::dialog
