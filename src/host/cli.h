// The command-line host: subcommands check, configure, set, show and help
// over a state file that holds one check's parameter string.
#ifndef TESSALY_HOST_CLI_H_
#define TESSALY_HOST_CLI_H_

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "check/dialog_presenter.h"
#include "env/clock.h"
#include "env/trace.h"
#include "mail/mail_operations.h"

namespace tessaly {

// Exit codes of the command-line host.
inline constexpr int kCliExitOk = 0;
inline constexpr int kCliExitWarning = 1;  // up, but delivery above --warning
inline constexpr int kCliExitDown = 2;
inline constexpr int kCliExitCannotRun = 3;

// The longest result line `tessaly check` prints, in bytes. A longer result
// text (after control bytes were made visible) is cut so that the line,
// vocab::kCutMark included, stays within this.
inline constexpr std::size_t kMaxResultLineBytes = 4096;

// What a test replaces; every empty member means the real thing.
struct CliHooks {
  // Builds the mail operations of a check run.
  std::function<std::unique_ptr<MailOperations>()> mail;
  // Builds the dialog of configure.
  std::function<std::unique_ptr<DialogPresenter>()> presenter;
  // Trace sink used instead of syslog/stderr. Must outlive the call.
  TraceSink* trace = nullptr;
  // Clock of the check. Must outlive the call.
  Clock* clock = nullptr;
};

// Runs one command line. args excludes the program name. Reads passwords
// from in (--password-stdin), writes results to out and "tessaly: ..."
// messages to err. Returns the process exit code: 0 ok / verdict True,
// 1 verdict True with the delivery above --warning, 2 verdict False or the
// delivery above --critical, 3 the command could not run. Never throws.
// With --max-time, a check still running 0.6 s past its bound
// prints vocab::kMaxTimeReached and ends the process with exit code 2.
int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err, const CliHooks& hooks);
int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err);

}  // namespace tessaly

#endif  // TESSALY_HOST_CLI_H_
