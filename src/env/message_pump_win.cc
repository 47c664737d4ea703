#include <windows.h>

#include "env/message_pump.h"

namespace tessaly {
namespace {

// At most this many messages per call, so a window that keeps posting to
// itself cannot hold the wait past its end.
constexpr int kMaxMessagesPerCall = 1000;

void PumpPendingMessages() {
  MSG msg;
  for (int i = 0; i < kMaxMessagesPerCall && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
       ++i) {
    if (msg.message == WM_QUIT) {
      // The quit request belongs to the host's message loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

std::function<void()> SystemMessagePump() { return PumpPendingMessages; }

}  // namespace tessaly
