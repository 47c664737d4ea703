// The clock seen by the check: the wall time that goes into the subject of
// the control mail, and a steady clock plus sleep for the send-phase wait.
#ifndef TESSALY_ENV_CLOCK_H_
#define TESSALY_ENV_CLOCK_H_

#include <chrono>
#include <cstdint>

namespace tessaly {

struct WallTime {
  // UTC time of day.
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  // Local calendar date of the same instant.
  int year = 1970, month = 1, day = 1;
};

// Abstract so that tests can set the time and skip the waiting.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual WallTime Now() = 0;
  virtual std::chrono::steady_clock::time_point Steady() = 0;
  virtual void SleepFor(std::chrono::milliseconds duration) = 0;
  // Seconds since 1970-01-01 UTC: the expiry of a cached access token.
  virtual std::int64_t UnixSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

// The system clock; a process-wide instance, safe to share.
Clock& SystemClock();

}  // namespace tessaly

#endif  // TESSALY_ENV_CLOCK_H_
