#include "host/check_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

constexpr const char* kDate = "Thu, 11 Dec 2026 13:01:02 +0100 (CET)";
// Three seconds after kDate, at the last hop, in another zone.
constexpr const char* kTopReceived =
    "from mx.test (mx.test [127.0.0.1])\tby mail.test (Postfix) with ESMTP id 4F;"
    " Thu, 11 Dec 2026 12:01:05 +0000 (UTC)";

RunReport Send() {
  RunReport r;
  r.phase = "SMTP";
  r.server = "smtp.test:25";
  r.subject = "TESSALY 1200";
  r.attempts = 1;
  r.seconds = 0.25;
  return r;
}

RunReport Fetch(bool found, std::string date = kDate) {
  RunReport r;
  r.phase = "POP3";
  r.server = "pop.test:110";
  r.subject = "TESSALY 1200";
  r.attempts = 2;
  r.seconds = 1.5;
  r.operation.tls = "TLSv1.3";
  r.operation.mechanism = "USER";
  r.operation.examined = 5;
  r.operation.deleted = 1;
  r.operation.found = found;
  if (found) {
    r.operation.date = std::move(date);
    r.operation.top_received = kTopReceived;
    r.operation.received_fields = 2;
  }
  return r;
}

RunReport Count(double count, std::string comparison, double threshold) {
  RunReport r;
  r.phase = "COUNTPOP3";
  r.attempts = 1;
  r.seconds = 0.1;
  r.count = count;
  r.comparison = std::move(comparison);
  r.threshold = threshold;
  return r;
}

CheckOutputOptions Perf(std::optional<double> warning = {}, std::optional<double> critical = {}) {
  CheckOutputOptions o;
  o.perfdata = true;
  o.warning = warning;
  o.critical = critical;
  return o;
}

TEST(CheckOutputTest, FirstLineAndExitCode) {
  struct Case {
    const char* name;
    std::string result;
    bool verdict;
    RunReport report;
    CheckOutputOptions options;
    std::string line;
    int exit_code;
  };
  const std::string ok = "Message retrieved successfully";
  const std::vector<Case> cases = {
      {"no_flags_up", ok, true, Fetch(true), {}, ok, 0},
      {"no_flags_down", "ERR POP3: no messages received", false, Fetch(false), {},
       "ERR POP3: no messages received", 2},
      {"no_flags_pipe_kept", "ERR POP3: wrong (a|b)", false, Fetch(false), {},
       "ERR POP3: wrong (a|b)", 2},
      {"send", "Message send successfully (x)", true, Send(), Perf(),
       "Message send successfully (x) | time=0.25s;;;0 attempts=1;;;0", 0},
      {"fetch_found", ok, true, Fetch(true), Perf(),
       ok + " | time=1.5s;;;0 attempts=2;;;0 delivery=3s hops=2;;;0 messages=5;;;0", 0},
      {"below_thresholds", ok, true, Fetch(true), Perf(3, 10),
       ok + " | time=1.5s;;;0 attempts=2;;;0 delivery=3s;3;10 hops=2;;;0 messages=5;;;0", 0},
      {"warning", ok, true, Fetch(true), Perf(2, 10),
       ok + " (delivery 3 s > 2 s) | time=1.5s;;;0 attempts=2;;;0 delivery=3s;2;10 hops=2;;;0"
            " messages=5;;;0", 1},
      {"critical_decimal", ok, true, Fetch(true), Perf(1, 2.5),
       ok + " (delivery 3 s > 2.5 s) | time=1.5s;;;0 attempts=2;;;0 delivery=3s;1;2.5"
            " hops=2;;;0 messages=5;;;0", 2},
      {"critical_0_without_perfdata", ok, true, Fetch(true), {{}, {}, {}, 0.0},
       ok + " (delivery 3 s > 0 s)", 2},
      {"unreadable_date_no_delivery", ok, true, Fetch(true, "yesterday"), Perf({}, 0),
       ok + " | time=1.5s;;;0 attempts=2;;;0 hops=2;;;0 messages=5;;;0", 0},
      {"skewed_clocks", ok, true, Fetch(true, "Thu, 11 Dec 2026 12:01:07 +0000"), Perf({}, 0),
       ok + " | time=1.5s;;;0 attempts=2;;;0 delivery=-2s;;0 hops=2;;;0 messages=5;;;0", 0},
      {"failed_fetch", "ERR POP3: no messages received", false, Fetch(false), Perf(1, 2),
       "ERR POP3: no messages received | time=1.5s;;;0 attempts=2;;;0 messages=5;;;0", 2},
      {"pipe_escaped", "ERR POP3: wrong (a|b)", false, Fetch(false), Perf(),
       "ERR POP3: wrong (a\\x7cb) | time=1.5s;;;0 attempts=2;;;0 messages=5;;;0", 2},
      {"no_call_no_perfdata", "ERR max-time reached", false, RunReport{}, Perf(),
       "ERR max-time reached", 2},
      {"count_lt", " 3 message(s)", false, Count(3, "LT", 4), Perf(),
       " 3 message(s) | time=0.1s;;;0 attempts=1;;;0 messages=3;;4:;0", 2},
      {"count_empty_rule", " 3 message(s)", false, Count(3, "", 4), Perf(),
       " 3 message(s) | time=0.1s;;;0 attempts=1;;;0 messages=3;;4:;0", 2},
      {"count_gt", " 3 message(s)", true, Count(3, "GT", 10), Perf(),
       " 3 message(s) | time=0.1s;;;0 attempts=1;;;0 messages=3;;~:10;0", 0},
      {"count_eq", " 3 message(s)", true, Count(3, "EQ", 2.5), Perf(),
       " 3 message(s) | time=0.1s;;;0 attempts=1;;;0 messages=3;;@2.5:2.5;0", 0},
      {"count_df", " 3 message(s)", true, Count(3, "DF", 3), Perf(),
       " 3 message(s) | time=0.1s;;;0 attempts=1;;;0 messages=3;;3:3;0", 0},
  };
  for (const Case& c : cases) {
    const CheckOutput out = FormatCheckOutput(c.result, c.verdict, c.report, c.options);
    EXPECT_EQ(out.text, c.line + "\n") << c.name;
    EXPECT_EQ(out.exit_code, c.exit_code) << c.name;
  }
}

TEST(CheckOutputTest, VerboseLongOutput) {
  CheckOutputOptions options;
  options.verbose = true;
  CheckOutput out =
      FormatCheckOutput("Message retrieved successfully", true, Fetch(true), options);
  EXPECT_EQ(out.text,
            "Message retrieved successfully\n"
            "phase: POP3 fetch, 2 attempts, last 1.5 s\n"
            "server: pop.test:110 (TLSv1.3, login USER)\n"
            "subject: TESSALY 1200\n"
            "messages: 5 examined, 1 deleted\n"
            "delivery: 3 s over 2 hops\n");

  RunReport bound;
  bound.phase = "SMTP";
  bound.server = "smtp|x:25";
  bound.bound_reached = true;
  out = FormatCheckOutput("ERR max-time reached", false, bound, options);
  EXPECT_EQ(out.text,
            "ERR max-time reached\n"
            "phase: send, max-time reached\n"
            "server: smtp\\x7cx:25\n");
  EXPECT_EQ(out.exit_code, 2);
}

}  // namespace
}  // namespace tessaly
