// A check, before Qt is started, that its xcb platform will find the X
// server it is about to use. Qt ends the whole process (abort) when it
// cannot connect, which would kill the host with it; this turns that into a
// message.
#ifndef TESSALY_DIALOG_QT_X_DISPLAY_PROBE_H_
#define TESSALY_DIALOG_QT_X_DISPLAY_PROBE_H_

#include <string>

namespace tessaly::dialog {

// Empty when Qt will not use its xcb platform here (QT_QPA_PLATFORM names
// another one, or no DISPLAY is set), or when the X server that DISPLAY
// names accepts a connection, tried the way Qt connects (libxcb's
// xcb_connect, loaded at run time; the connection is closed again). Else one
// line saying why the dialog cannot be shown. With WAYLAND_DISPLAY set and
// no platform chosen Qt may use Wayland, so an unreachable X server is not
// reported then.
std::string ProbeXDisplay();

}  // namespace tessaly::dialog

#endif  // TESSALY_DIALOG_QT_X_DISPLAY_PROBE_H_
