// The thread's own event processing during the send-phase wait. A host that
// runs a window message loop on the calling thread keeps its windows and
// its components' events alive while a check waits.
#ifndef TESSALY_ENV_MESSAGE_PUMP_H_
#define TESSALY_ENV_MESSAGE_PUMP_H_

#include <functional>

namespace tessaly {

// The platform's pump, called again and again during the wait; each call
// handles what is pending and returns without waiting. Windows: removes and
// dispatches the calling thread's window messages (PeekMessage,
// TranslateMessage, DispatchMessage); a WM_QUIT is posted again for the
// host's own loop and ends pumping for that call. POSIX: empty (there is no
// thread message queue; hosts hand in their own pump).
std::function<void()> SystemMessagePump();

}  // namespace tessaly

#endif  // TESSALY_ENV_MESSAGE_PUMP_H_
