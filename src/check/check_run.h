// One check run: reads the settings from the parameter string, runs exactly
// one phase (send, POP3 fetch, IMAP4 fetch or count) through the mail
// operations, writes the state keys and yields the verdict and result text.
#ifndef TESSALY_CHECK_CHECK_RUN_H_
#define TESSALY_CHECK_CHECK_RUN_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "check/variant.h"
#include "env/clock.h"
#include "mail/mail_operations.h"
#include "mail/token_client.h"

namespace tessaly {

// Time-out handed to the mail operations when the host's time-out is 0 or
// below: a network call never runs without a bound.
inline constexpr std::int16_t kFallbackTimeoutSeconds = 30;

// What a host may ask of one run beyond its parameters. The defaults change
// nothing: without a deadline every attempt gets the full time-out, the
// send phase waits as long as it always does, and the fetch sends the
// commands it always sends.
struct RunOptions {
  // End of the whole call. Each attempt then gets at most the whole seconds
  // left before it (never more than the time-out); an attempt with less
  // than one second left is not started, and the send-phase wait ends here.
  // When no attempt could run, the result is vocab::kMaxTimeReached.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // false: the send phase returns as soon as the send operation has.
  bool send_wait = true;
  // true: a fetch that finds the control mail also reads its Date and
  // Received fields into the report (RetrieveArgs::delivery_fields).
  bool delivery_fields = false;
};

// What one run did, for a host that reports more than the verdict and the
// result text (performance data, long output). Reading it changes nothing.
struct RunReport {
  std::string phase;  // the vocab phase that ran; "" when none ran
  std::string server;  // "host:port" the phase's operation was given
  std::string subject;  // the control mail's subject sent or looked for
  int attempts = 0;     // operation calls made
  // Seconds the call whose result counts took; unset when no call ran.
  std::optional<double> seconds;
  bool bound_reached = false;  // the deadline stopped the attempts or the wait
  // Count phase that succeeded: the count, and the comparison and
  // threshold that decide the verdict.
  std::optional<double> count;
  std::string comparison;
  double threshold = 0;
  // The mail layer's report of the call whose result counts.
  OperationReport operation;
};

struct CheckRunEnv {
  MailOperations* mail = nullptr;  // required
  Clock* clock = nullptr;          // required
  // Called again and again during the send-phase wait so that a host can
  // process its pending events; may be empty.
  std::function<void()> pump;
  // Longest sleep between two looks at the clock during that wait.
  std::chrono::milliseconds wait_slice{50};
  // Access tokens of an OAuth login; only used when a side is set to one
  // (without it such a login fails with an "ERR" text).
  TokenClient* tokens = nullptr;
  RunOptions options;
  // Filled when set; may be null.
  RunReport* report = nullptr;
};

// The time-out the mail operations get for the host's value seconds:
// seconds itself within 1..32767, kFallbackTimeoutSeconds for 0 and below,
// 32767 above.
std::int16_t OperationTimeout(long long seconds);

// The trapped-failure result text: "ERR docheck : " + description + "(" +
// code + "-" + location + ")", each number with a blank before it when it
// is not negative.
std::string TrappedFailureText(std::string_view description, long long code,
                               long long location);

// Runs one phase over *parameter (read at every setting, rewritten when a
// state key is written; it then holds text). timeout is the host's value
// in seconds. Sets *result and returns the verdict. Never throws: every
// failure becomes False with a trapped-failure text, and state keys
// written before it stay written.
bool RunCheck(const CheckRunEnv& env, Variant* parameter, const Variant& timeout,
              std::string* result);

}  // namespace tessaly

#endif  // TESSALY_CHECK_CHECK_RUN_H_
