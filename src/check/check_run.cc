#include "check/check_run.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "check/oauth_login.h"
#include "check/param_string.h"
#include "check/vocab.h"
#include "env/base64.h"

namespace tessaly {
namespace {

// A failure of the run itself, carried to the trap in RunCheck.
struct RunFailure {
  std::string description;
  long long code;
};

// Codes of the failures the run raises itself, numbered the way the host's
// own runtime numbers them.
constexpr long long kOverflowCode = 6;
constexpr long long kOutOfMemoryCode = 7;
constexpr long long kTypeMismatchCode = 13;
constexpr long long kBadPasswordCode = 5;
constexpr long long kInternalCode = 51;

// How far past the deadline an attempt's time-out may reach.
constexpr std::chrono::milliseconds kDeadlineSlack{250};

// Location numbers of a failed OAuth login in the "ERR" texts: the login
// step of the POP3 and IMAP4 operations (connect and log in) and the
// credentials step of the sending operation.
constexpr int kLoginLocation = 3;
constexpr int kSendLoginLocation = 5;

// Stands in when the run was given no token client: every request fails.
TokenClient& NoTokens() {
  class None : public TokenClient {
   public:
    Status Request(const TokenRequest&, TokenGrant*) override {
      return Status::Error(std::string(vocab::kTokenRequestFailed) + "no token client");
    }
  };
  static None none;
  return none;
}

// True when a failure text ends with " (location)".
bool EndsWithLocation(std::string_view text, int location) {
  const std::string tail = " (" + std::to_string(location) + ")";
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool IsErr(std::string_view text) { return text.substr(0, 3) == vocab::kErrPrefix; }

class Run {
 public:
  Run(const CheckRunEnv& env, Variant* parameter, RunReport* report)
      : env_(env), parameter_(parameter), report_(*report) {}

  bool Execute(const Variant& timeout_value, std::string* result) {
    const std::optional<long long> seconds = timeout_value.ToInteger();
    if (!seconds) {
      if (timeout_value.kind() == Variant::Kind::kNumber) {
        throw RunFailure{"Overflow", kOverflowCode};
      }
      throw RunFailure{"Type mismatch", kTypeMismatchCode};
    }
    timeout_ = OperationTimeout(*seconds);
    mail_timeout_ = timeout_;
    wait_seconds_ = *seconds <= 0 ? 0 : timeout_;

    std::string next = Get(vocab::kNextPhase);
    mode_ = Get(vocab::kMode);
    if (mode_ == vocab::kModeSmtp) {
      next = vocab::kPhaseSend;
    } else if (mode_ == vocab::kModePop3) {
      next = vocab::kPhasePop3;
    } else if (mode_ == vocab::kModeCount) {
      next = vocab::kPhaseCount;
    } else if (mode_ == vocab::kModeImap4) {
      next = vocab::kPhaseImap4;
    } else if (mode_.empty()) {
      mode_ = vocab::kDefaultMode;
    }
    no_x_sender_ = (mode_ == vocab::kModeSmtpPop3 || mode_ == vocab::kModeSmtpImap4) &&
                   Flag(vocab::kNoXSender);

    if (next == vocab::kPhaseCount) return CountPhase(result);
    if (next == vocab::kPhasePop3) return FetchPhase(false, result);
    if (next == vocab::kPhaseImap4) return FetchPhase(true, result);
    if (next == vocab::kPhaseSend || next.empty()) return SendPhase(result);
    result->clear();
    return false;
  }

 private:
  std::string Get(std::string_view key) const {
    return GetParameterValue(parameter_->ToText(), key);
  }
  bool Flag(std::string_view key) const { return ParseFlag(Get(key)); }
  std::int32_t Number(std::string_view key) const { return LeadingInt(Get(key)); }
  std::string User(std::string_view key) const { return UnescapeValue(Get(key)); }
  std::string Password(std::string_view key) const {
    std::optional<std::string> decoded = Base64Decode(Get(key));
    if (!decoded) {
      throw RunFailure{"Invalid password encoding in " + std::string(key),
                       kBadPasswordCode};
    }
    return *std::move(decoded);
  }
  void Put(std::string_view key, std::string_view value) {
    *parameter_ = Variant(SetParameterValue(parameter_->ToText(), key, value));
  }
  int Retries() const { return std::clamp(Number(vocab::kMailRetries), 0, 3); }

  // The login of one side. For an OAuth method the access token comes from
  // the cache or the endpoint (the state keys and a rotated refresh token
  // are written at once). On failure sets *failure to prefix + description
  // (+ " (location)" when location >= 0) and returns false.
  bool Login(const vocab::OAuthKeys& keys, std::string_view prefix, int location,
             OAuthLogin* login, std::string* failure) {
    std::string params = parameter_->ToText();
    const std::string before = params;
    const auto start = env_.clock->Steady();
    Status s = PrepareOAuthLogin(keys, env_.tokens != nullptr ? *env_.tokens : NoTokens(),
                                 env_.clock->UnixSeconds(), timeout_, &params, login);
    if (params != before) *parameter_ = Variant(params);
    if (s.code() == kSecretEncodingError) throw RunFailure{s.message(), kBadPasswordCode};
    if (!s.ok()) {
      *failure = std::string(prefix) + s.message();
      if (location >= 0) *failure += " (" + std::to_string(location) + ")";
      return false;
    }
    if (login->requested) {
      // The mail step gets what the token request left of the time-out.
      const auto spent = std::chrono::ceil<std::chrono::seconds>(env_.clock->Steady() - start);
      mail_timeout_ = static_cast<std::int16_t>(
          std::max<long long>(1, timeout_ - static_cast<long long>(spent.count())));
    }
    return true;
  }

  // After a login that may have failed on the token, the cached token is
  // dropped, so that the next call fetches a new one instead of repeating
  // a token the server may have refused.
  void ForgetTokenAfterFailure(const vocab::OAuthKeys& keys, const OAuthLogin& login) {
    if (login.method == LoginMethod::kPassword) return;
    const std::string params = parameter_->ToText();
    const std::string after = ForgetAccessToken(params, keys);
    if (after != params) *parameter_ = Variant(after);
  }

  bool CountPhase(std::string* result) {
    CountArgs args;
    args.host = Get(vocab::kMailServer);
    args.port = Number(vocab::kMailPort);
    args.user = User(vocab::kMailUser);
    args.password = Password(vocab::kMailPassword);
    args.timeout = timeout_;
    args.ssl = Flag(vocab::kMailSsl);
    args.use_ipv6 = Flag(vocab::kMailIpv6);
    const int retries = Retries();
    args.delete_all = Flag(vocab::kDeleteAll);
    args.debug = Flag(vocab::kMailDebug);
    report_.phase = vocab::kPhaseCount;
    report_.server = ServerText(args.host, args.port);
    std::string text;
    bool ok = false;
    OAuthLogin login;
    if (Login(vocab::kMailOAuthKeys, vocab::kCountErr, -1, &login, &text)) {
      args.login = login.method;
      args.token = login.token;
      ok = Attempts(retries, &args.timeout, &text, [&] { return env_.mail->CountMessages(args); });
    }
    // A token is kept when the bound stopped the attempts before any ran.
    if (!ok && !(report_.bound_reached && report_.attempts == 0)) {
      ForgetTokenAfterFailure(vocab::kMailOAuthKeys, login);
    }
    bool verdict = false;
    if (ok) {
      const std::string comparison = Get(vocab::kCountComparison);
      const double threshold = LeadingNumber(Get(vocab::kCountThreshold));
      const double count = LeadingNumber(text);
      report_.count = count;
      report_.comparison = comparison;
      report_.threshold = threshold;
      bool down;
      if (comparison == vocab::kGreaterThan) {
        down = count > threshold;
      } else if (comparison == vocab::kEqual) {
        down = count == threshold;
      } else if (comparison == vocab::kDifferent) {
        down = count != threshold;
      } else {
        down = count < threshold;
      }
      verdict = !down;
    }
    *result = text;
    return verdict;
  }

  bool FetchPhase(bool imap4, std::string* result) {
    RetrieveArgs args;
    args.host = Get(vocab::kMailServer);
    args.port = Number(vocab::kMailPort);
    args.user = User(vocab::kMailUser);
    args.password = Password(vocab::kMailPassword);
    args.ssl = Flag(vocab::kMailSsl);
    args.use_ipv6 = Flag(vocab::kMailIpv6);
    args.debug = Flag(vocab::kMailDebug);
    args.subject = Get(vocab::kLastSubject);
    const std::string_view cycle_mode = imap4 ? vocab::kModeSmtpImap4 : vocab::kModeSmtpPop3;
    Put(vocab::kNextPhase, mode_ == cycle_mode
                               ? vocab::kPhaseSend
                               : (imap4 ? vocab::kPhaseImap4 : vocab::kPhasePop3));
    args.only_delete_own = Flag(vocab::kOnlyDeleteOwn);
    const int retries = Retries();
    if (imap4) args.mailbox = Get(vocab::kMailbox);
    args.timeout = timeout_;
    args.mode = mode_;
    args.no_x_sender = no_x_sender_;
    args.delivery_fields = env_.options.delivery_fields;
    report_.phase = imap4 ? vocab::kPhaseImap4 : vocab::kPhasePop3;
    report_.server = ServerText(args.host, args.port);
    report_.subject = args.subject;
    std::string text;
    bool ok = false;
    OAuthLogin login;
    if (Login(vocab::kMailOAuthKeys, imap4 ? vocab::kImap4Err : vocab::kPop3Err,
              kLoginLocation, &login, &text)) {
      args.login = login.method;
      args.token = login.token;
      ok = Attempts(retries, &args.timeout, &text, [&] {
        return imap4 ? env_.mail->RetrieveMessagesImap4(args) : env_.mail->RetrieveMessages(args);
      });
    }
    // A fetch that logged in and then failed (no control mail, say) keeps
    // its token; one that failed at the login step does not.
    if (!ok && EndsWithLocation(text, kLoginLocation)) {
      ForgetTokenAfterFailure(vocab::kMailOAuthKeys, login);
    }
    *result = ok ? std::string(vocab::kFetchOk) : text;
    Put(vocab::kLastSubject, "");
    return ok;
  }

  bool SendPhase(std::string* result) {
    const auto start = env_.clock->Steady();
    SendArgs args;
    args.host = Get(vocab::kSmtpServer);
    args.port = Number(vocab::kSmtpPort);
    args.from = Get(vocab::kSmtpFrom);
    args.to = Get(vocab::kSmtpTo);
    args.use_ssl = Flag(vocab::kSmtpSsl);
    args.use_ipv6 = Flag(vocab::kSmtpIpv6);
    args.debug = Flag(vocab::kSmtpDebug);
    args.user = User(vocab::kSmtpUser);
    args.password = Password(vocab::kSmtpPassword);
    std::string subject = Get(vocab::kSubjectKeyword);
    const int ssl_mode = Number(vocab::kSmtpSslMode);
    args.ssl_start_mode = (ssl_mode < 0 || ssl_mode > 3) ? 0 : ssl_mode;
    args.timeout = timeout_;
    args.mode = mode_;
    report_.phase = vocab::kPhaseSend;
    report_.server = ServerText(args.host, args.port);
    std::string text;
    OAuthLogin login;
    if (Login(vocab::kSmtpOAuthKeys, vocab::kSmtpErr, kSendLoginLocation, &login, &text)) {
      args.login = login.method;
      args.token = login.token;
      Attempts(0, &args.timeout, &text, [&] { return env_.mail->SendMessage(args, &subject); });
      if (report_.attempts == 0) {
        subject.clear();  // the bound came first: nothing was sent
      } else if (subject.empty()) {
        ForgetTokenAfterFailure(vocab::kSmtpOAuthKeys, login);
      }
    } else {
      subject.clear();
      ForgetTokenAfterFailure(vocab::kSmtpOAuthKeys, login);
    }
    report_.subject = subject;
    if (env_.options.send_wait) Wait(start);
    *result = text;
    Put(vocab::kLastSubject, subject);
    if (mode_ == vocab::kModeSmtpPop3) Put(vocab::kNextPhase, vocab::kPhasePop3);
    if (mode_ == vocab::kModeSmtpImap4) Put(vocab::kNextPhase, vocab::kPhaseImap4);
    if (!subject.empty()) {
      Put(vocab::kNextPhase, mode_ == vocab::kModeSmtpPop3    ? vocab::kPhasePop3
                             : mode_ == vocab::kModeSmtpImap4 ? vocab::kPhaseImap4
                                                              : vocab::kPhaseSend);
      return true;
    }
    Put(vocab::kNextPhase, vocab::kPhaseSend);
    return mode_ == vocab::kModeSmtp && !IsErr(text);
  }

  // Calls call until it succeeds or retries + 1 calls were made, each with
  // *timeout set to what the deadline leaves (see RunOptions). *text is the
  // last call's result, or vocab::kMaxTimeReached when none could start.
  // Returns whether the last call succeeded.
  bool Attempts(int retries, std::int16_t* timeout, std::string* text,
                const std::function<std::string()>& call) {
    bool ok = false;
    for (int attempt = 0; !ok && attempt <= retries; ++attempt) {
      const std::optional<std::int16_t> left = AttemptTimeout();
      if (!left) {
        report_.bound_reached = true;
        if (report_.attempts == 0) *text = vocab::kMaxTimeReached;
        break;
      }
      *timeout = *left;
      const auto begin = env_.clock->Steady();
      *text = call();
      report_.seconds =
          std::chrono::duration<double>(env_.clock->Steady() - begin).count();
      report_.operation = env_.mail->LastReport();
      ++report_.attempts;
      ok = !IsErr(*text);
    }
    return ok;
  }

  // The time-out of the next attempt: the host's, or the whole seconds the
  // deadline leaves when that is less (an attempt may end up to a quarter
  // second past the deadline rather than lose nearly a second to rounding);
  // nullopt when that is under one second.
  std::optional<std::int16_t> AttemptTimeout() const {
    if (!env_.options.deadline) return mail_timeout_;
    const auto left = std::chrono::floor<std::chrono::seconds>(
        *env_.options.deadline + kDeadlineSlack - env_.clock->Steady());
    if (left.count() < 1) return std::nullopt;
    return static_cast<std::int16_t>(std::min<long long>(mail_timeout_, left.count()));
  }

  static std::string ServerText(const std::string& host, std::int32_t port) {
    return host + ":" + std::to_string(port);
  }

  // Lets the host process its events until the whole seconds elapsed since
  // start reach the time-out minus 1 (or the deadline comes first),
  // sleeping in short slices between.
  void Wait(std::chrono::steady_clock::time_point start) {
    auto until = start + std::chrono::seconds(wait_seconds_ - 1);
    if (env_.options.deadline && *env_.options.deadline < until) {
      until = *env_.options.deadline;
      report_.bound_reached = true;
    }
    for (;;) {
      const auto now = env_.clock->Steady();
      if (now >= until) return;  // whole seconds elapsed >= time-out - 1
      if (env_.pump) env_.pump();
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - env_.clock->Steady());
      if (left.count() <= 0) return;
      env_.clock->SleepFor(std::min(left, std::max(env_.wait_slice, std::chrono::milliseconds(1))));
    }
  }

  const CheckRunEnv& env_;
  Variant* parameter_;
  RunReport& report_;
  std::string mode_;
  bool no_x_sender_ = false;
  std::int16_t timeout_ = 0;
  std::int16_t mail_timeout_ = 0;  // timeout_ less what a token request took
  long long wait_seconds_ = 0;
};

void AppendSigned(std::string* out, long long number) {
  *out += number < 0 ? "" : " ";
  *out += std::to_string(number);
}

}  // namespace

std::int16_t OperationTimeout(long long seconds) {
  if (seconds <= 0) return kFallbackTimeoutSeconds;
  if (seconds > 32767) return 32767;
  return static_cast<std::int16_t>(seconds);
}

std::string TrappedFailureText(std::string_view description, long long code,
                               long long location) {
  std::string text(vocab::kDocheckErr);
  text += description;
  text += "(";
  AppendSigned(&text, code);
  text += "-";
  AppendSigned(&text, location);
  text += ")";
  return text;
}

bool RunCheck(const CheckRunEnv& env, Variant* parameter, const Variant& timeout,
              std::string* result) {
  RunReport unused;
  RunReport* report = env.report != nullptr ? env.report : &unused;
  *report = RunReport{};
  try {
    Run run(env, parameter, report);
    return run.Execute(timeout, result);
  } catch (const RunFailure& failure) {
    *result = TrappedFailureText(failure.description, failure.code, 0);
  } catch (const std::bad_alloc&) {
    *result = TrappedFailureText("Out of memory", kOutOfMemoryCode, 0);
  } catch (const std::exception& e) {
    *result = TrappedFailureText(e.what(), kInternalCode, 0);
  } catch (...) {
    *result = TrappedFailureText("Internal error", kInternalCode, 0);
  }
  return false;
}

}  // namespace tessaly
