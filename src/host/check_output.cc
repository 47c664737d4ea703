#include "host/check_output.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "check/vocab.h"
#include "host/cli.h"
#include "mail/mail_date.h"

namespace tessaly {
namespace {

// A number as the plugin format wants it: no exponent, at most three
// decimals, no trailing zeros ("5", "0.25", "-3").
std::string Number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  std::string s(buffer);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

// label=value[UOM];[warn];[crit];[min];[max], empty fields at the end
// dropped. The labels used here need no quotes.
std::string Metric(std::string_view label, const std::string& value, std::string_view unit,
                   const std::string& warn = "", const std::string& crit = "",
                   const std::string& min = "") {
  std::string s(label);
  s += "=" + value;
  s += unit;
  std::vector<std::string> fields = {warn, crit, min};
  while (!fields.empty() && fields.back().empty()) fields.pop_back();
  for (const std::string& f : fields) s += ";" + f;
  return s;
}

std::string OptionalNumber(const std::optional<double>& value) {
  return value ? Number(*value) : std::string();
}

// The count rule as a plugin range that holds the counts that are down.
std::string CountRange(const RunReport& report) {
  const std::string t = Number(report.threshold);
  if (report.comparison == vocab::kGreaterThan) return "~:" + t;  // down above t
  if (report.comparison == vocab::kEqual) return "@" + t + ":" + t;  // down at t
  if (report.comparison == vocab::kDifferent) return t + ":" + t;  // down off t
  return t + ":";  // down below t
}

bool IsFetch(const RunReport& report) {
  return report.phase == vocab::kPhasePop3 || report.phase == vocab::kPhaseImap4;
}

std::string PhaseName(std::string_view phase) {
  if (phase == vocab::kPhaseSend) return "send";
  if (phase == vocab::kPhasePop3) return "POP3 fetch";
  if (phase == vocab::kPhaseImap4) return "IMAP4 fetch";
  if (phase == vocab::kPhaseCount) return "POP3 count";
  return "none";
}

std::string NoPipes(std::string_view text) {
  std::string s;
  for (char c : text) {
    if (c == '|') {
      s += "\\x7c";
    } else {
      s += c;
    }
  }
  return s;
}

std::vector<std::string> LongOutput(const RunReport& report) {
  std::vector<std::string> lines;
  std::string phase = "phase: " + PhaseName(report.phase);
  if (report.attempts > 0) {
    phase += ", " + std::to_string(report.attempts) +
             (report.attempts == 1 ? " attempt" : " attempts");
    if (report.seconds) phase += ", last " + Number(*report.seconds) + " s";
  }
  if (report.bound_reached) phase += ", max-time reached";
  lines.push_back(phase);
  if (report.phase.empty()) return lines;
  std::string server = "server: " + report.server;
  const OperationReport& op = report.operation;
  if (!op.tls.empty() || !op.mechanism.empty()) {
    server += " (";
    server += op.tls.empty() ? "no TLS" : op.tls;
    if (!op.mechanism.empty()) server += ", login " + op.mechanism;
    server += ")";
  }
  lines.push_back(server);
  if (!report.subject.empty()) lines.push_back("subject: " + report.subject);
  if (op.examined || op.deleted) {
    std::string messages = "messages:";
    if (op.examined) messages += " " + std::to_string(*op.examined) + " examined";
    if (op.examined && op.deleted) messages += ",";
    if (op.deleted) messages += " " + std::to_string(*op.deleted) + " deleted";
    lines.push_back(messages);
  }
  if (report.count) lines.push_back("count: " + Number(*report.count));
  if (const std::optional<long long> delivery = DeliveryOf(report)) {
    std::string line = "delivery: " + std::to_string(*delivery) + " s";
    if (const std::optional<int> hops = HopsOf(report)) {
      line += " over " + std::to_string(*hops) + (*hops == 1 ? " hop" : " hops");
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::optional<long long> DeliveryOf(const RunReport& report) {
  if (!IsFetch(report) || !report.operation.found) return std::nullopt;
  const std::optional<std::int64_t> s =
      DeliverySeconds(report.operation.date, report.operation.top_received);
  if (!s) return std::nullopt;
  return static_cast<long long>(*s);
}

std::optional<int> HopsOf(const RunReport& report) {
  if (!IsFetch(report) || !report.operation.found) return std::nullopt;
  return report.operation.received_fields;
}

std::string PerfData(const RunReport& report, const CheckOutputOptions& options) {
  std::vector<std::string> metrics;
  if (report.seconds) metrics.push_back(Metric("time", Number(*report.seconds), "s", "", "", "0"));
  if (report.attempts > 0) {
    metrics.push_back(Metric("attempts", std::to_string(report.attempts), "", "", "", "0"));
  }
  if (const std::optional<long long> delivery = DeliveryOf(report)) {
    metrics.push_back(Metric("delivery", std::to_string(*delivery), "s",
                             OptionalNumber(options.warning), OptionalNumber(options.critical)));
  }
  if (const std::optional<int> hops = HopsOf(report)) {
    metrics.push_back(Metric("hops", std::to_string(*hops), "", "", "", "0"));
  }
  if (report.count) {
    metrics.push_back(Metric("messages", Number(*report.count), "", "", CountRange(report), "0"));
  } else if (IsFetch(report) && report.operation.examined) {
    metrics.push_back(
        Metric("messages", std::to_string(*report.operation.examined), "", "", "", "0"));
  }
  std::string s;
  for (const std::string& m : metrics) {
    if (!s.empty()) s += " ";
    s += m;
  }
  return s;
}

CheckOutput FormatCheckOutput(std::string_view result_line, bool verdict,
                              const RunReport& report, const CheckOutputOptions& options) {
  CheckOutput out;
  out.exit_code = verdict ? kCliExitOk : kCliExitDown;
  const bool engine = options.perfdata || options.verbose;
  std::string line = engine ? NoPipes(result_line) : std::string(result_line);
  const std::optional<long long> delivery = verdict ? DeliveryOf(report) : std::nullopt;
  if (delivery) {
    std::optional<double> crossed;
    if (options.critical && static_cast<double>(*delivery) > *options.critical) {
      crossed = options.critical;
      out.exit_code = kCliExitDown;
    } else if (options.warning && static_cast<double>(*delivery) > *options.warning) {
      crossed = options.warning;
      out.exit_code = kCliExitWarning;
    }
    if (crossed) {
      line += " (delivery " + std::to_string(*delivery) + " s > " + Number(*crossed) + " s)";
    }
  }
  if (options.perfdata) {
    const std::string perf = PerfData(report, options);
    if (!perf.empty()) line += " | " + perf;
  }
  out.text = line + "\n";
  if (options.verbose) {
    for (const std::string& l : LongOutput(report)) out.text += NoPipes(l) + "\n";
  }
  return out;
}

}  // namespace tessaly
