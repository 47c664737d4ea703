#include "env/message_pump.h"

namespace tessaly {

std::function<void()> SystemMessagePump() { return {}; }

}  // namespace tessaly
