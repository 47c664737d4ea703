// What `tessaly check` prints for a monitoring engine: the result line,
// the reason a delivery threshold raised the state, performance data in the
// plugin format after " | ", and the long output of --verbose; and the exit
// code. Pure: everything comes from the run's verdict and report.
#ifndef TESSALY_HOST_CHECK_OUTPUT_H_
#define TESSALY_HOST_CHECK_OUTPUT_H_

#include <optional>
#include <string>
#include <string_view>

#include "check/check_run.h"

namespace tessaly {

struct CheckOutputOptions {
  bool perfdata = false;  // " | label=value..." on the first line
  bool verbose = false;   // what the phase did, on the lines after it
  // Delivery seconds above which the state is WARNING / CRITICAL.
  std::optional<double> warning;
  std::optional<double> critical;
};

struct CheckOutput {
  std::string text;   // every line printed, each ending in "\n"
  int exit_code = 0;  // 0 up, 1 warning, 2 down or critical
};

// The delivery time (seconds from the control mail's Date field to its top
// Received field) and the number of hops of a fetch that found the mail;
// nullopt otherwise or when a date is unreadable.
std::optional<long long> DeliveryOf(const RunReport& report);
std::optional<int> HopsOf(const RunReport& report);

// The performance data of one run: time and attempts of every phase that
// made a call, delivery and hops of a fetch that found the control mail,
// messages examined by a fetch, and the count with its rule as the
// critical range. A value that is not known is left out.
std::string PerfData(const RunReport& report, const CheckOutputOptions& options);

// result_line is the printable result text (one line). Without any option
// set the first line is result_line exactly. When perfdata or long output
// are printed, "|" in result_line is written "\x7c", since an engine takes
// the text after the first "|" as performance data.
CheckOutput FormatCheckOutput(std::string_view result_line, bool verdict,
                              const RunReport& report, const CheckOutputOptions& options);

}  // namespace tessaly

#endif  // TESSALY_HOST_CHECK_OUTPUT_H_
