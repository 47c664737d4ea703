// Command-line host: argument parsing and the subcommand dispatch table.
#include "host/cli.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string_view>
#include <thread>

#include "check/check_object.h"
#include "check/oauth_login.h"
#include "check/param_string.h"
#include "check/variant.h"
#include "check/vocab.h"
#include "env/base64.h"
#include "env/settings_store.h"
#include "host/check_output.h"
#include "host/state_file.h"
#include "tessaly_version.h"

namespace tessaly {
namespace {
using namespace vocab;  // NOLINT: the shared key names

constexpr int kDefaultTimeout = 10;
constexpr int kMaxTimeout = 32767;
// Lock wait beyond the check's own time-out: a second run on the same state
// file waits for the first, but never without bound.
constexpr std::chrono::seconds kLockSlack{30};

struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  const CliHooks& hooks;
};

// Parsed flags of one command: value flags, bare flags and positionals.
struct Parsed {
  std::map<std::string, std::string> values;
  std::map<std::string, bool> bare;
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> password_stdin;  // key, ""
  std::vector<std::pair<std::string, std::string>> password_file;   // key, path
  bool help = false;
};

struct Command {
  std::string_view name;
  std::string_view usage;
  std::string_view summary;
  std::vector<std::string_view> value_flags;
  std::vector<std::string_view> bare_flags;
  bool positional_ok;
  int (*run)(const Parsed&, Io&);
};

int Fail(Io& io, std::string_view message) {
  io.err << "tessaly: " << message << "\n";
  return kCliExitCannotRun;
}

int Usage(Io& io, std::string_view message) {
  io.err << "tessaly: " << message << "\nTry 'tessaly --help'.\n";
  return kCliExitCannotRun;
}

std::string Upper(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Passwords and the OAuth secrets: stored Base64-encoded, set from stdin or
// a file only, never printed.
bool IsPasswordKey(std::string_view key) {
  for (std::string_view k : {kSmtpPassword, kMailPassword, kSmtpClientSecret, kMailClientSecret,
                             kSmtpRefreshToken, kMailRefreshToken}) {
    if (key == k) return true;
  }
  return false;
}
bool IsUserKey(std::string_view key) { return key == kSmtpUser || key == kMailUser; }

// The keys of a side's OAuth login (its user name included): setting one
// drops that side's cached access token, which was fetched for the old
// values.
bool IsOAuthKeyOf(const OAuthKeys& side, std::string_view key) {
  for (std::string_view k : {side.user, side.method, side.token_url, side.client_id,
                             side.client_secret, side.scope, side.refresh_token, side.ca_file}) {
    if (key == k) return true;
  }
  return false;
}

bool IsSettableKey(std::string_view key) {
  if (key == kDeleteAll || key == kSubjectKeyword) return true;
  if (IsOAuthKeyOf(kSmtpOAuthKeys, key) || IsOAuthKeyOf(kMailOAuthKeys, key)) return true;
  return std::find(kDialogKeys.begin(), kDialogKeys.end(), key) != kDialogKeys.end();
}

// Values that show turns into "****": secrets and cached access tokens.
bool IsHiddenKey(std::string_view key) {
  return IsPasswordKey(key) || key == kSmtpAccessToken || key == kMailAccessToken;
}

// The timeout flag: an integer 1..32767, default 10.
std::optional<int> ParseTimeout(const Parsed& p, Io& io, int* code) {
  auto it = p.values.find("--timeout");
  if (it == p.values.end()) return kDefaultTimeout;
  const std::string& t = it->second;
  bool digits = !t.empty() && t.size() <= 5 &&
                std::all_of(t.begin(), t.end(),
                            [](char c) { return c >= '0' && c <= '9'; });
  int value = digits ? std::stoi(t) : 0;
  if (value < 1 || value > kMaxTimeout) {
    *code = Usage(io, "--timeout must be an integer from 1 to 32767, not '" + t + "'");
    return std::nullopt;
  }
  return value;
}

// --max-time: an integer 1..32767 like --timeout; nullopt when not given.
bool ParseMaxTime(const Parsed& p, Io& io, std::optional<int>* seconds, int* code) {
  auto it = p.values.find("--max-time");
  if (it == p.values.end()) return true;
  const std::string& t = it->second;
  const bool digits = !t.empty() && t.size() <= 5 &&
                      std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int value = digits ? std::stoi(t) : 0;
  if (value < 1 || value > kMaxTimeout) {
    *code = Usage(io, "--max-time must be an integer from 1 to 32767, not '" + t + "'");
    return false;
  }
  *seconds = value;
  return true;
}

// --warning / --critical: seconds, decimals allowed ("300", "2.5").
bool ParseThreshold(const Parsed& p, Io& io, const std::string& flag,
                    std::optional<double>* seconds, int* code) {
  auto it = p.values.find(flag);
  if (it == p.values.end()) return true;
  const std::string& t = it->second;
  const size_t dot = t.find('.');
  auto digits = [](std::string_view d) {
    return !d.empty() && d.size() <= 9 &&
           std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const bool ok = dot == std::string::npos
                      ? digits(t)
                      : digits(std::string_view(t).substr(0, dot)) &&
                            digits(std::string_view(t).substr(dot + 1));
  if (!ok) {
    *code = Usage(io, flag + " must be a number of seconds such as 300 or 2.5, not '" + t + "'");
    return false;
  }
  *seconds = std::strtod(t.c_str(), nullptr);
  return true;
}

// Ends the process with vocab::kMaxTimeReached when a check is still
// running kGrace past its bound (an attempt's time-out may reach a quarter
// second past it): the time-out bounds each operation, its name lookup
// included, but not what lies outside every operation, and an engine that
// kills the plugin at its own time-out would get no text at all. Finish() before the state is
// saved cancels it, so a check that ended in time is never cut short.
class BoundWatch {
 public:
  BoundWatch(std::ostream& out, std::chrono::steady_clock::time_point deadline)
      : out_(out), thread_([this, deadline] { Watch(deadline + kGrace); }) {}
  ~BoundWatch() {
    Finish();
    thread_.join();
  }
  BoundWatch(const BoundWatch&) = delete;
  BoundWatch& operator=(const BoundWatch&) = delete;

  void Finish() {
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = true;
    cv_.notify_all();
  }

 private:
  static constexpr std::chrono::milliseconds kGrace{600};

  void Watch(std::chrono::steady_clock::time_point at) {
    std::unique_lock<std::mutex> lock(mu_);
    if (cv_.wait_until(lock, at, [this] { return finished_; })) return;
    // The lock stays held: the check cannot finish and save meanwhile.
    out_ << vocab::kMaxTimeReached << "\n";
    out_.flush();
    std::_Exit(kCliExitDown);
  }

  std::ostream& out_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool finished_ = false;
  std::thread thread_;
};

std::string StatePath(const Parsed& p) {
  auto it = p.values.find("--state");
  return it == p.values.end() ? std::string() : it->second;
}

// The result text as one printed line: CR, LF and other control bytes
// written the way the trace writes them ("\r", "\n", "\xNN"), and at most
// kMaxResultLineBytes bytes. A longer text keeps what fits before
// vocab::kCutMark, cut between two whole escapes and never inside a UTF-8
// sequence.
std::string ResultLine(std::string_view text) {
  const size_t fit = kMaxResultLineBytes - kCutMark.size();
  std::string line;
  size_t keep = 0;  // where a cut may go: the last byte boundary within fit
  for (size_t i = 0; i < text.size(); ++i) {
    const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    if (line.size() <= fit && !continuation) keep = line.size();
    const std::string piece = VisibleLine(text.substr(i, 1));
    if (line.size() + piece.size() > kMaxResultLineBytes) {
      line.resize(keep);
      line.append(kCutMark);
      return line;
    }
    line.append(piece);
  }
  return line;
}

std::unique_ptr<TraceSink> OwnTrace(const Parsed& p, const CliHooks& hooks) {
  if (hooks.trace != nullptr) return nullptr;
  return p.bare.count("--trace") ? NewStderrTraceSink() : NewSyslogTraceSink();
}

int RunCheck(const Parsed& p, Io& io) {
  const auto start = std::chrono::steady_clock::now();
  int code = kCliExitCannotRun;
  std::optional<int> timeout = ParseTimeout(p, io, &code);
  if (!timeout) return code;
  std::optional<int> max_time;
  CheckOutputOptions output;
  if (!ParseMaxTime(p, io, &max_time, &code) ||
      !ParseThreshold(p, io, "--warning", &output.warning, &code) ||
      !ParseThreshold(p, io, "--critical", &output.critical, &code)) {
    return code;
  }
  output.perfdata = p.bare.count("--perfdata") > 0;
  output.verbose = p.bare.count("--verbose") > 0;
  std::unique_ptr<TraceSink> own_trace = OwnTrace(p, io.hooks);
  CheckObjectOptions options;
  if (io.hooks.mail) options.mail = io.hooks.mail();
  options.trace = io.hooks.trace != nullptr ? io.hooks.trace : own_trace.get();
  options.clock = io.hooks.clock;
  auto reg = p.values.find("--registry");
  options.registry_file = reg != p.values.end() ? reg->second : DefaultRegistryPath();
  CheckObject check(std::move(options));
  check.set_vg_timeout(Variant(*timeout));
  auto host = p.values.find("--hostname");
  if (host != p.values.end()) check.set_vg_hostname(Variant(host->second));
  RunOptions run;
  run.send_wait = p.bare.count("--no-send-wait") == 0;
  // The delivery fields cost IMAP4 one more command: read them only when
  // something is printed from them.
  run.delivery_fields = output.perfdata || output.verbose || output.warning.has_value() ||
                        output.critical.has_value();
  std::chrono::milliseconds lock_wait = std::chrono::seconds(*timeout) + kLockSlack;
  std::optional<BoundWatch> watch;
  if (max_time) {
    run.deadline = start + std::chrono::seconds(*max_time);
    lock_wait = std::min<std::chrono::milliseconds>(lock_wait, std::chrono::seconds(*max_time));
    watch.emplace(io.out, *run.deadline);
  }
  check.set_run_options(run);

  bool verdict = false;
  bool ran = false;
  Status status = UpdateStateFile(StatePath(p), lock_wait, [&](std::string* parameter) {
    check.set_vg_parameter(Variant(*parameter));
    verdict = check.VgDocheck();
    ran = true;
    if (watch) watch->Finish();
    *parameter = check.vg_parameter().ToText();
    return Status::Ok();
  });
  if (watch) watch->Finish();
  if (!status.ok()) {
    if (ran) io.err << "tessaly: check result not saved\n";
    return Fail(io, status.message());
  }
  const CheckOutput printed =
      FormatCheckOutput(ResultLine(check.vg_result().ToText()), verdict, check.last_report(), output);
  io.out << printed.text;
  return printed.exit_code;
}

int RunConfigure(const Parsed& p, Io& io) {
  int code = kCliExitCannotRun;
  std::optional<int> timeout = ParseTimeout(p, io, &code);
  if (!timeout) return code;
  CheckObjectOptions options;
  if (io.hooks.presenter) options.presenter = io.hooks.presenter();
  CheckObject check(std::move(options));
  check.set_vg_timeout(Variant(*timeout));
  std::optional<DialogOutcome> outcome;
  // The dialog waits for a person: take no lock while it is open, and
  // apply the result only when the stored string is still the one shown.
  std::string shown;
  Status status = ReadStateFile(StatePath(p), &shown);
  if (!status.ok()) return Fail(io, status.message());
  check.set_vg_parameter(Variant(shown));
  outcome = check.VgShowGui();
  // One line on stdout says which way the dialog ended, so a shell user
  // knows whether anything was stored.
  const std::string shown_path = VisibleLine(StatePath(p));
  if (outcome->kind == DialogOutcome::Kind::kClosed) {
    io.out << "dialog closed without OK; " << shown_path << " unchanged\n";
    return kCliExitOk;
  }
  if (outcome->kind == DialogOutcome::Kind::kFailed) {
    return Fail(io, "cannot show the dialog: " + outcome->error);
  }
  const std::string composed = check.vg_parameter().ToText();
  status = UpdateStateFile(StatePath(p), kLockSlack, [&](std::string* parameter) {
    if (*parameter != shown) {
      return Status::Error("state file changed while the dialog was open; not saved");
    }
    *parameter = composed;
    return Status::Ok();
  });
  if (!status.ok()) return Fail(io, status.message());
  io.out << "configuration saved to " << shown_path << "\n";
  return kCliExitOk;
}

// First line of text, trailing CR/LF stripped.
std::string FirstLine(std::istream& s) {
  std::string line;
  std::getline(s, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

int RunSet(const Parsed& p, Io& io) {
  std::vector<std::pair<std::string, std::string>> items;  // key, stored value
  auto check_key = [&](const std::string& raw, std::string* key) -> std::string {
    *key = Upper(std::string(TrimBlanks(raw)));
    if (key->rfind(kStatePrefix, 0) == 0) return "state key '" + raw + "' cannot be set";
    if (!IsSettableKey(*key)) return "unknown key '" + raw + "'";
    return "";
  };
  for (const std::string& arg : p.positional) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos) return Usage(io, "expected KEY=VALUE, got '" + arg + "'");
    std::string key;
    std::string problem = check_key(arg.substr(0, eq), &key);
    if (!problem.empty()) return Usage(io, problem);
    // Blanks around a value are dropped the way the dialog drops them, so
    // that a later OK in the dialog stores the same string. The subject
    // keyword is not a dialog field and is kept as given.
    std::string value = arg.substr(eq + 1);
    if (key != kSubjectKeyword) value = std::string(TrimBlanks(value));
    if (IsPasswordKey(key)) {
      return Usage(io, "passwords and secrets are read from stdin or a file "
                       "(--password-stdin KEY or --password-file KEY FILE)");
    }
    if (IsUserKey(key)) {
      value = EscapeValue(value, true);
    } else if (value.find('#') != std::string::npos) {
      return Usage(io, "the value of " + key + " must not contain '#'");
    }
    items.emplace_back(key, value);
  }
  if (p.password_stdin.size() > 1) return Usage(io, "--password-stdin given more than once");
  auto add_password = [&](const std::string& raw, const std::string& secret) {
    std::string key;
    std::string problem = check_key(raw, &key);
    if (problem.empty() && !IsPasswordKey(key)) {
      problem = key + " is not a password key (SPWD, PPWD) or secret key (" +
                std::string(kSmtpClientSecret) + ", " + std::string(kMailClientSecret) + ", " +
                std::string(kSmtpRefreshToken) + ", " + std::string(kMailRefreshToken) + ")";
    }
    if (!problem.empty()) return problem;
    items.emplace_back(key, Base64Encode(TrimBlanks(secret)));
    return std::string();
  };
  for (const auto& [key, unused] : p.password_stdin) {
    std::string problem = add_password(key, FirstLine(io.in));
    if (!problem.empty()) return Usage(io, problem);
  }
  for (const auto& [key, path] : p.password_file) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return Fail(io, "cannot read password file " + path);
    std::string problem = add_password(key, FirstLine(file));
    if (!problem.empty()) return Usage(io, problem);
  }
  Status status = UpdateStateFile(StatePath(p), kLockSlack, [&](std::string* parameter) {
    for (const auto& [key, value] : items) {
      *parameter = SetParameterValue(*parameter, key, value);
      for (const OAuthKeys* side : {&kSmtpOAuthKeys, &kMailOAuthKeys}) {
        if (IsOAuthKeyOf(*side, key)) *parameter = ForgetAccessToken(*parameter, *side);
      }
    }
    return Status::Ok();
  });
  if (!status.ok()) return Fail(io, status.message());
  return kCliExitOk;
}

int RunShow(const Parsed& p, Io& io) {
  std::string parameter;
  Status status = ReadStateFile(StatePath(p), &parameter);
  if (!status.ok()) return Fail(io, status.message());
  size_t pos = 0;
  while (pos <= parameter.size()) {
    size_t end = parameter.find('#', pos);
    if (end == std::string::npos) end = parameter.size();
    std::string_view item(parameter.data() + pos, end - pos);
    pos = end + 1;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key = Upper(TrimBlanks(item.substr(0, eq)));
    std::string_view value = item.substr(eq + 1);
    if (IsHiddenKey(key)) {
      io.out << key << "=****\n";
    } else if (IsUserKey(key)) {
      io.out << key << "=" << UnescapeValue(value) << "\n";
    } else {
      io.out << key << "=" << value << "\n";
    }
  }
  return kCliExitOk;
}

int RunHelp(const Parsed& p, Io& io);

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"check", "tessaly check --state FILE [--timeout SECONDS] [--hostname NAME] "
                "[--registry FILE] [--trace]\n"
                "                [--max-time SECONDS] [--no-send-wait] [--perfdata] [--verbose]\n"
                "                [--warning SECONDS] [--critical SECONDS]",
       "run one phase of the check; the first line is the result text, with CR, LF\n"
       "      and other control bytes shown as \\r, \\n and \\xNN, and at most 4096 bytes:\n"
       "      a longer one ends in \"[cut]\".\n"
       "      --timeout bounds each network step (connect, TLS, each reply), not the\n"
       "      call: without --max-time a fetch or count lasts up to (PRET + 1) x timeout\n"
       "      when the server stays silent (more when it answers each step slowly), and\n"
       "      a send lasts at least timeout - 1 seconds, its wait for delivery.\n"
       "      --max-time bounds the whole call: each attempt gets what is left, the send\n"
       "      wait ends there, and a call still running then prints \"ERR max-time\n"
       "      reached\" (exit 2). --no-send-wait ends a send once the mail is accepted.\n"
       "      --perfdata appends \" | \" and performance data (time, attempts; delivery,\n"
       "      hops and messages of a fetch; messages of a count). --warning and\n"
       "      --critical raise the state (exit 1 or 2) when a fetch's delivery took\n"
       "      longer, and add \" (delivery N s > T s)\". --verbose prints what the phase\n"
       "      did on the lines after the first",
       {"--state", "--timeout", "--hostname", "--registry", "--max-time", "--warning",
        "--critical"},
       {"--trace", "--no-send-wait", "--perfdata", "--verbose"}, false, RunCheck},
      {"configure", "tessaly configure --state FILE [--timeout SECONDS]",
       "edit the configuration in the dialog; prints \"configuration saved to FILE\"\n"
       "      after OK, else \"dialog closed without OK; FILE unchanged\"",
       {"--state", "--timeout"}, {}, false,
       RunConfigure},
      {"set", "tessaly set --state FILE [KEY=VALUE]... [--password-stdin KEY] "
              "[--password-file KEY FILE]",
       "set configuration keys; blanks (spaces and tabs) around each value and\n"
       "      password are removed, as the dialog removes them (SKWORD is kept as given);\n"
       "      passwords and the OAuth secrets SCSEC, PCSEC, SRTK, PRTK come from stdin or a file",
       {"--state"}, {}, true, RunSet},
      {"show", "tessaly show --state FILE", "print the stored items (passwords, secrets and access tokens hidden)",
       {"--state"}, {}, false, RunShow},
      {"help", "tessaly help [COMMAND]", "show help", {}, {}, true, RunHelp},
  };
  return commands;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& c : Commands()) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

void PrintHelp(std::ostream& out) {
  out << "Usage: tessaly COMMAND [OPTIONS]\n\nEnd-to-end mail-service check.\n\n"
         "Commands:\n";
  for (const Command& c : Commands()) out << "  " << c.usage << "\n      " << c.summary << "\n";
  out << "\nExit codes: 0 up, 1 warning (delivery above --warning), 2 down, 3 cannot run.\n"
         "  tessaly --version   print the version\n";
}

int RunHelp(const Parsed& p, Io& io) {
  if (p.positional.empty()) {
    PrintHelp(io.out);
    return kCliExitOk;
  }
  if (p.positional.size() > 1) return Usage(io, "help takes at most one command");
  const Command* c = FindCommand(p.positional[0]);
  if (c == nullptr) return Usage(io, "unknown command '" + p.positional[0] + "'");
  io.out << "Usage: " << c->usage << "\n      " << c->summary << "\n";
  return kCliExitOk;
}

bool Contains(const std::vector<std::string_view>& list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

int Dispatch(const std::vector<std::string>& args, Io& io) {
  if (args.empty()) return Usage(io, "no command given");
  if (args[0] == "--help" || args[0] == "-h") {
    PrintHelp(io.out);
    return kCliExitOk;
  }
  if (args[0] == "--version") {
    io.out << "tessaly " << TESSALY_VERSION_STRING << "\n";
    return kCliExitOk;
  }
  const Command* command = FindCommand(args[0]);
  if (command == nullptr) return Usage(io, "unknown command '" + args[0] + "'");
  Parsed p;
  const bool is_set = command->name == "set";
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto need = [&](size_t n) { return i + n < args.size(); };
    if (a == "--help" || a == "-h") {
      p.help = true;
    } else if (Contains(command->value_flags, a)) {
      if (!need(1)) return Usage(io, "option " + a + " needs a value");
      if (p.values.count(a)) return Usage(io, "option " + a + " given more than once");
      p.values[a] = args[++i];
    } else if (Contains(command->bare_flags, a)) {
      p.bare[a] = true;
    } else if (is_set && a == "--password-stdin") {
      if (!need(1)) return Usage(io, "option " + a + " needs a KEY");
      p.password_stdin.emplace_back(args[++i], "");
    } else if (is_set && a == "--password-file") {
      if (!need(2)) return Usage(io, "option " + a + " needs a KEY and a FILE");
      p.password_file.emplace_back(args[i + 1], args[i + 2]);
      i += 2;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(io, "unknown option '" + a + "' for " + std::string(command->name));
    } else if (command->positional_ok) {
      p.positional.push_back(a);
    } else {
      return Usage(io, "unexpected argument '" + a + "'");
    }
  }
  if (p.help) {
    io.out << "Usage: " << command->usage << "\n      " << command->summary << "\n";
    return kCliExitOk;
  }
  if (Contains(command->value_flags, "--state") && StatePath(p).empty()) {
    return Usage(io, std::string(command->name) + " needs --state FILE");
  }
  return command->run(p, io);
}

}  // namespace

int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err, const CliHooks& hooks) {
  Io io{in, out, err, hooks};
  try {
    return Dispatch(args, io);
  } catch (const std::exception& e) {
    return Fail(io, e.what());
  } catch (...) {
    return Fail(io, "internal error");
  }
}

int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err) {
  return RunCli(std::move(args), in, out, err, CliHooks{});
}

}  // namespace tessaly
