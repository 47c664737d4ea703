#include "env/clock.h"

#include <ctime>
#include <thread>

namespace tessaly {
namespace {

class RealClock : public Clock {
 public:
  WallTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm utc{};
    std::tm local{};
    gmtime_r(&ts.tv_sec, &utc);
    localtime_r(&ts.tv_sec, &local);
    WallTime t;
    t.hour = utc.tm_hour;
    t.minute = utc.tm_min;
    t.second = utc.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    return t;
  }
  std::chrono::steady_clock::time_point Steady() override {
    return std::chrono::steady_clock::now();
  }
  void SleepFor(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

}  // namespace tessaly
