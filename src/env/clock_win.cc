// The system clock on Windows: GetSystemTime for the UTC time of day that
// goes into the control mail's subject, GetLocalTime for its local date,
// the steady clock for the send-phase wait and Sleep between looks at it.
#include <windows.h>

#include "env/clock.h"

namespace tessaly {
namespace {

class WindowsClock : public Clock {
 public:
  WallTime Now() override {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    // Both from one instant: the local date is derived from the UTC time
    // read once, so the two cannot straddle a tick.
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) GetLocalTime(&local);
    WallTime t;
    t.hour = utc.wHour;
    t.minute = utc.wMinute;
    t.second = utc.wSecond;
    t.millisecond = utc.wMilliseconds;
    t.year = local.wYear;
    t.month = local.wMonth;
    t.day = local.wDay;
    return t;
  }
  std::chrono::steady_clock::time_point Steady() override {
    return std::chrono::steady_clock::now();
  }
  void SleepFor(std::chrono::milliseconds duration) override {
    if (duration.count() <= 0) return;
    Sleep(static_cast<DWORD>(duration.count()));
  }
};

}  // namespace

Clock& SystemClock() {
  static WindowsClock clock;
  return clock;
}

}  // namespace tessaly
