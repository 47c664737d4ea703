// The host SMTP component on libcurl. One easy handle per AddMail; the
// server's reply lines are watched through the debug callback so that a
// failure names what the server said; StopSending is an atomic flag that the
// progress callback checks.
//
// One AddMail is bounded by PrimaryTimeout as a whole, from its start: the
// greeting probe, connect, TLS, every reply and the closing QUIT. libcurl's
// time-outs get what the probe left, and a watchdog shuts the socket down at
// the deadline, so no pace of the server's bytes stretches the call.
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "check/vocab.h"
#include "env/ascii_case.h"
#include "mail/command_value.h"
#include "mail/mail_message.h"
#include "mail/sasl_oauth.h"
#include "mail/smtp_component.h"
#include "mail/smtp_socket.h"
#include "mail/tls_start.h"

namespace tessaly {
namespace {

bool ParseBool(std::string_view v, bool* out) {
  for (std::string_view t : {vocab::kSmtpTrue, vocab::kOn, std::string_view("1"),
                             std::string_view("-1")}) {
    if (EqualNoCase(v, t)) return *out = true, true;
  }
  for (std::string_view f : {vocab::kSmtpFalse, vocab::kOff, std::string_view("0"),
                             std::string_view("")}) {
    if (EqualNoCase(v, f)) return *out = false, true;
  }
  return false;
}

template <typename Int>
bool ParseInt(std::string_view v, Int* out) {
  Int n{};
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size()) return false;
  *out = n;
  return true;
}

// Bytes that would change the meaning of the URL the server name goes into.
bool IsSafeHost(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '/' || c == '@' || c == '?' || c == '#' ||
        c == '\\') {
      return false;
    }
  }
  return true;
}

// Strips line ends and replaces every occurrence of secret by "***".
std::string Clean(std::string text, const std::string& secret) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return c == '\r' || c == '\n'; }),
             text.end());
  if (!secret.empty()) {
    for (std::size_t p = text.find(secret); p != std::string::npos;
         p = text.find(secret, p + 3)) {
      text.replace(p, secret.size(), "***");
    }
  }
  return text;
}

// RFC 5321 4.5.3.1.3: a path, angle brackets included, has at most 256
// octets.
constexpr std::size_t kMaxAddress = 256 - 2;

// Why `address` cannot go into MAIL FROM or RCPT TO as one path, or "" when
// it can. Blanks and angle brackets would end the path early and let the
// rest pass as ESMTP parameters; control bytes would end or corrupt the
// command. The text never repeats the address, which may be huge.
std::string_view AddressFault(std::string_view address) {
  if (address.size() > kMaxAddress) return "longer than 254 octets";
  for (char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\t') return "contains a blank";
    if (c == '<' || c == '>') return "contains an angle bracket";
    if (u < 0x20 || u == 0x7f) return "contains a control character";
  }
  return "";
}

struct Transfer {
  std::string data;
  std::size_t sent = 0;
  std::string last_reply;   // the last reply line the server sent
  std::string error_reply;  // the last 4xx/5xx reply line
  std::string challenge;    // the decoded text of the last "334" challenge
  std::string tls;          // "TLSv1.3" once TLS is up
  std::string mechanism;    // "AUTH PLAIN": the AUTH command's first two words
  const std::atomic<bool>* stop = nullptr;
  // libcurl's own time-outs leave the QUIT after a failed step unbounded by
  // TIMEOUT (a stall after the message text takes twice the time-out), so a
  // watchdog shuts the socket down at the deadline or on StopSending.
  std::atomic<bool> timed_out{false};
  std::mutex socket_mu;
  curl_socket_t socket = CURL_SOCKET_BAD;  // the socket in use, probe's or libcurl's
  // The greeting probe's connected socket. libcurl takes it over in place of
  // a connection of its own, so the server sees one connection and the
  // greeting the probe waited for is still there for libcurl to read.
  curl_socket_t probe = CURL_SOCKET_BAD;
  bool probe_taken = false;
  long reply_code = 0;  // CURLINFO_RESPONSE_CODE after the transfer
};

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto* t = static_cast<Transfer*>(user);
  std::lock_guard<std::mutex> lock(t->socket_mu);
  if (t->probe != CURL_SOCKET_BAD && !t->probe_taken) {
    t->probe_taken = true;
    t->socket = t->probe;
  } else {
    t->socket = ::socket(address->family, address->socktype, address->protocol);
  }
  return t->socket;
}

int SocketOptions(void* user, curl_socket_t fd, curlsocktype) {
  auto* t = static_cast<Transfer*>(user);
  std::lock_guard<std::mutex> lock(t->socket_mu);
  return t->probe_taken && fd == t->probe ? CURL_SOCKOPT_ALREADY_CONNECTED
                                          : CURL_SOCKOPT_OK;
}

int CloseSocket(void* user, curl_socket_t fd) {
  auto* t = static_cast<Transfer*>(user);
  std::lock_guard<std::mutex> lock(t->socket_mu);
  if (t->socket == fd) t->socket = CURL_SOCKET_BAD;
  return ::close(fd);
}

// Ends any blocking wait of the transfer at once.
void ShutDown(Transfer* t) {
  std::lock_guard<std::mutex> lock(t->socket_mu);
  if (t->socket != CURL_SOCKET_BAD) ::shutdown(t->socket, SHUT_RDWR);
}

size_t ReadBody(char* buffer, size_t size, size_t nitems, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = std::min(size * nitems, t->data.size() - t->sent);
  std::copy_n(t->data.data() + t->sent, n, buffer);
  t->sent += n;
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->stop->load() || t->timed_out.load() ? 1 : 0;
}

// The first n blank-separated words of text.
std::string_view Words(std::string_view text, int n) {
  std::size_t end = 0;
  for (int i = 0; i < n; ++i) {
    end = text.find(' ', i == 0 ? 0 : end + 1);
    if (end == std::string_view::npos) return text;
  }
  return text.substr(0, end);
}

// Server replies are kept. Of the client's commands, which carry
// credentials on AUTH, only the words "AUTH" and the mechanism's name are
// looked at; nothing after them is read or stored. Of libcurl's own notes,
// the TLS protocol.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::string_view raw(data, size);
  if (type == CURLINFO_HEADER_OUT) {
    if (raw.size() > 5 && EqualNoCase(raw.substr(0, 5), "AUTH ")) {
      std::string_view name = Words(raw, 2);
      while (!name.empty() && (name.back() == '\r' || name.back() == '\n')) name.remove_suffix(1);
      t->mechanism = std::string(name);
    }
    return 0;
  }
  if (type == CURLINFO_TEXT) {
    constexpr std::string_view kTlsNote = "SSL connection using ";
    if (raw.substr(0, kTlsNote.size()) == kTlsNote) {
      t->tls = std::string(Words(raw.substr(kTlsNote.size()), 1));
    }
    return 0;
  }
  if (type != CURLINFO_HEADER_IN) return 0;
  std::string line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  t->last_reply = line;
  // A SASL challenge; an OAuth refusal carries its reason here as Base64
  // JSON before the final reply (or before libcurl hangs up).
  if (line.rfind("334 ", 0) == 0 && line.size() > 4) t->challenge = DecodeChallenge(line.substr(4));
  if (!line.empty() && (line[0] == '4' || line[0] == '5')) t->error_reply = line;
  return 0;
}

// Sets options on one easy handle and keeps the first refusal: an option
// libcurl did not take (a value too long, a feature not built in) must fail
// the send rather than let it go out without that option.
class CurlOptions {
 public:
  explicit CurlOptions(CURL* curl) : curl_(curl) {}

  template <typename Value>
  void Set(CURLoption option, Value value) {
    if (rc_ != CURLE_OK) return;
    rc_ = curl_easy_setopt(curl_, option, value);
    if (rc_ != CURLE_OK) option_ = option;
  }

  // Ok, or the first refusal with libcurl's code.
  Status status() const {
    if (rc_ == CURLE_OK) return Status::Ok();
    const curl_easyoption* known = curl_easy_option_by_id(option_);
    const std::string name = known != nullptr && known->name != nullptr
                                 ? std::string(known->name)
                                 : std::to_string(static_cast<int>(option_));
    return Status::Error("libcurl refused option " + name + ": " + curl_easy_strerror(rc_),
                         static_cast<int>(rc_));
  }

 private:
  CURL* curl_;
  CURLcode rc_ = CURLE_OK;
  CURLoption option_ = CURLOPT_LASTENTRY;
};

std::string TimeoutText(long seconds) {
  return "connection timed out after " + std::to_string(seconds) + " s";
}

class CurlSmtpComponent : public SmtpComponent {
 public:
  explicit CurlSmtpComponent(SmtpOptions options) : options_(options) {}

  Status SetProperty(std::string_view name, std::string_view value) override {
    using namespace vocab;
    auto text = [&](std::string* field, bool single_line) {
      if (single_line && HasLineBreak(value)) {
        return Status::Error("line break in " + std::string(name) + " refused");
      }
      *field = std::string(value);
      return Status::Ok();
    };
    // Refused in the same words as the POP3 and IMAP4 clients, before any
    // connection: a NUL separates the fields of AUTH PLAIN (and libcurl
    // takes the text only up to it), CR and LF would break the exchange.
    auto credential = [&](std::string* field, std::string_view what) {
      if (!FitsInCommandLine(value)) return Status::Error(std::string(what) + " cannot be sent");
      *field = std::string(value);
      return Status::Ok();
    };
    if (EqualNoCase(name, kSmtpPropHelo)) return text(&helo_, true);
    if (EqualNoCase(name, kSmtpPropServer)) return text(&server_, true);
    if (EqualNoCase(name, kSmtpPropUser)) return credential(&user_, "user name");
    if (EqualNoCase(name, kSmtpPropPassword)) return credential(&password_, "password");
    if (EqualNoCase(name, kSmtpPropAuth)) return text(&auth_, false);
    if (EqualNoCase(name, kSmtpPropAltAuth)) return text(&alt_auth_, false);
    if (EqualNoCase(name, kSmtpPropFrom)) {
      if (HasLineBreak(value)) return text(&from_, true);
      // The empty sender is SMTP's null reverse-path, "MAIL FROM:<>".
      if (std::string_view fault = AddressFault(value); !fault.empty()) {
        return Status::Error("sender address refused: " + std::string(fault));
      }
      return text(&from_, true);
    }
    if (EqualNoCase(name, kSmtpPropXHeader)) return text(&xheader_, true);
    if (EqualNoCase(name, kSmtpPropBearerToken)) return credential(&bearer_, "access token");
    if (EqualNoCase(name, kSmtpPropAuthMechanism)) {
      LoginMethod method = LoginMethod::kPassword;
      if (!ParseLoginMethod(value, &method) || method == LoginMethod::kPassword) {
        return Bad(name, value);
      }
      mechanism_ = method;
      return Status::Ok();
    }
    if (EqualNoCase(name, kSmtpPropTimeout)) {
      if (!ParseInt(value, &timeout_)) return Bad(name, value);
      return Status::Ok();
    }
    if (EqualNoCase(name, kSmtpPropPort)) {
      if (!ParseInt(value, &port_)) return Bad(name, value);
      return Status::Ok();
    }
    if (EqualNoCase(name, kSmtpPropUseSsl)) {
      if (!ParseBool(value, &use_ssl_)) return Bad(name, value);
      return Status::Ok();
    }
    return Status::Error("unknown property " + Clean(std::string(name), ""));
  }

  Status AddMail(std::string_view to, std::string_view subject, std::string_view body,
                 bool /*send_now: always at once*/) override {
    if (stop_.load()) return Status::Error("sending stopped");
    if (HasLineBreak(to) || HasLineBreak(subject)) {
      return Status::Error("line break in recipient or subject refused");
    }
    if (to.empty()) return Status::Error("recipient address refused: empty");
    if (std::string_view fault = AddressFault(to); !fault.empty()) {
      return Status::Error("recipient address refused: " + std::string(fault));
    }
    if (!IsSafeHost(server_)) return Status::Error("invalid mail server name");
    // The same words as the POP3 and IMAP4 clients use. Port 0 is what an
    // empty or non-numeric port text reads as; it never means "the default".
    if (port_ < 1 || port_ > 65535) {
      return Status::Error("invalid port " + std::to_string(port_));
    }
    MailMessage message{from_, std::string(to), std::string(subject), xheader_,
                        std::string(body)};
    Transfer t;
    t.stop = &stop_;
    // libcurl dot-stuffs the upload itself, so the text goes out unstuffed.
    Status s = ComposeMessage(message, std::time(nullptr),
                              NewMessageId(MessageIdDomain(from_)), &t.data);
    if (!s.ok()) return s;
    // Every write of the dialogue, plain or TLS, runs with SIGPIPE blocked
    // for this thread: a peer that closed early gives an error, not a
    // signal that ends the host process.
    RunWithoutSigpipe([&] { s = Send(std::string(to), &t); });
    last_tls_ = t.tls;
    last_mechanism_ = t.mechanism;
    return s;
  }

  std::string LastTls() const override { return last_tls_; }
  std::string LastMechanism() const override { return last_mechanism_; }

  void StopSending() override {
    {
      std::lock_guard<std::mutex> lock(wake_mu_);
      stop_.store(true);
    }
    wake_.notify_all();
  }

 private:
  using SteadyClock = std::chrono::steady_clock;

  static Status Bad(std::string_view name, std::string_view value) {
    return Status::Error("invalid value " + Clean(std::string(value), "") + " for " +
                         std::string(name));
  }

  std::string Url(CURL* curl, bool implicit_tls) const {
    std::string host = server_;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    std::string url = implicit_tls ? "smtps://" : "smtp://";
    url += host;
    url += ":" + std::to_string(port_);
    url += "/";
    // The path is the EHLO name; escaped so that any name stays one path.
    if (char* e = curl_easy_escape(curl, helo_.data(), static_cast<int>(helo_.size()))) {
      url += e;
      curl_free(e);
    }
    return url;
  }

  bool IsStartTlsPort() const {
    return std::find(std::begin(options_.starttls_ports), std::end(options_.starttls_ports),
                     port_) != std::end(options_.starttls_ports);
  }

  // Decides how TLS starts with SSL on. The well-known implicit port gets
  // TLS from the first byte, the SMTP and submission ports STARTTLS. Any
  // other port is probed: a server that sends
  // something within the greeting wait speaks SMTP first (STARTTLS); one
  // that stays silent waits for a ClientHello (TLS from the first byte, on
  // the same connection). The probe's socket goes to libcurl through *t.
  // Returns true for TLS from the first byte.
  bool ChooseImplicitTls(Transfer* t, SteadyClock::time_point deadline, int wait_ms) {
    if (port_ == options_.implicit_tls_port) return true;
    if (IsStartTlsPort()) return false;
    GreetingProbe probe = ProbeGreeting(server_, port_, deadline, wait_ms, [t](int fd) {
      std::lock_guard<std::mutex> lock(t->socket_mu);
      t->socket = fd < 0 ? CURL_SOCKET_BAD : fd;
    });
    if (probe.fd < 0) {
      // No connection: libcurl connects itself and reports the failure in
      // its own words, as without a probe.
      return false;
    }
    std::lock_guard<std::mutex> lock(t->socket_mu);
    t->probe = probe.fd;
    return !probe.spoke;
  }

  Status Send(const std::string& to, Transfer* t) {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init != CURLE_OK) return Status::Error("libcurl init failed", init);

    // The whole operation, probe included, ends by this deadline.
    const long seconds = timeout_ > 0 ? timeout_ : options_.default_timeout_seconds;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(seconds);
    bool finished = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(wake_mu_);
      wake_.wait_until(lock, deadline, [&] { return finished || stop_.load(); });
      if (finished) return;
      if (!stop_.load()) t->timed_out = true;
      ShutDown(t);
    });
    auto stop_watchdog = [&] {
      {
        std::lock_guard<std::mutex> lock(wake_mu_);
        finished = true;
      }
      wake_.notify_all();
      watchdog.join();
    };

    const int wait_ms = GreetingWaitMs(static_cast<int>(seconds));
    const bool probed = use_ssl_ && port_ != options_.implicit_tls_port && !IsStartTlsPort();
    const bool implicit_tls = use_ssl_ && ChooseImplicitTls(t, deadline, wait_ms);
    Status s = Perform(to, t, implicit_tls, seconds, deadline);
    stop_watchdog();
    {
      std::lock_guard<std::mutex> lock(t->socket_mu);
      if (t->probe != CURL_SOCKET_BAD && !t->probe_taken) ::close(t->probe);
    }
    if (s.ok()) return s;
    std::string text = s.message();
    if (stop_.load()) {
      text = "sending stopped";
    } else if (t->timed_out.load() || s.code() == CURLE_OPERATION_TIMEDOUT) {
      text = TimeoutText(seconds);
    }
    // A silent server that did not take TLS from the first byte either: the
    // text says both, since either may be what the user expected.
    if (probed && implicit_tls && t->last_reply.empty() && !stop_.load()) {
      text = NoGreetingNoTlsText(wait_ms) + text;
    }
    if (!t->error_reply.empty()) {
      text += "; server: " + t->error_reply;
    } else if (t->reply_code >= 400 && !t->last_reply.empty()) {
      text += "; server: " + t->last_reply;
    }
    if (!bearer_.empty()) text += OAuthChallengeNote(t->challenge);
    const int code = t->reply_code != 0 ? static_cast<int>(t->reply_code) : s.code();
    return Status::Error(Clean(Clean(text, password_), bearer_), code);
  }

  // One libcurl transfer with whatever time is left until deadline. A
  // failure carries libcurl's text and code; the caller words time-outs.
  Status Perform(const std::string& to, Transfer* t, bool implicit_tls, long seconds,
                 SteadyClock::time_point deadline) {
    if (stop_.load()) return Status::Error("sending stopped");
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return Status::Error("libcurl handle could not be made");
    const std::string url = Url(curl, implicit_tls);
    const std::string from = "<" + from_ + ">";
    const std::string rcpt = "<" + to + ">";
    curl_slist* rcpts = curl_slist_append(nullptr, rcpt.c_str());
    if (rcpts == nullptr) {
      curl_easy_cleanup(curl);
      return Status::Error("libcurl recipient list could not be made");
    }
    char errbuf[CURL_ERROR_SIZE] = {0};
    // libcurl counts 0 as "no limit": at least 1 ms, 1 s.
    const long left_ms = std::max<long>(
        1, static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - SteadyClock::now())
                                 .count()));
    const long left_s = std::clamp<long>((left_ms + 999) / 1000, 1, seconds);

    CurlOptions o(curl);
    o.Set(CURLOPT_URL, url.c_str());
    o.Set(CURLOPT_MAIL_FROM, from.c_str());
    o.Set(CURLOPT_MAIL_RCPT, rcpts);
    o.Set(CURLOPT_UPLOAD, 1L);
    o.Set(CURLOPT_READFUNCTION, ReadBody);
    o.Set(CURLOPT_READDATA, t);
    o.Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->data.size()));
    o.Set(CURLOPT_ERRORBUFFER, errbuf);
    // No signal handlers and no process-wide SIGPIPE disposition from
    // libcurl; AddMail blocks SIGPIPE for this thread instead.
    o.Set(CURLOPT_NOSIGNAL, 1L);
    // A name lookup still running at the time-out is left to end on its own
    // thread, which frees what it holds; without this, libcurl waits for the
    // system resolver's own time-outs before it returns. A libcurl that
    // lacks the option waits as before.
    curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
    o.Set(CURLOPT_CONNECTTIMEOUT_MS, left_ms);
    o.Set(CURLOPT_SERVER_RESPONSE_TIMEOUT, left_s);
    o.Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    o.Set(CURLOPT_LOW_SPEED_TIME, left_s);
    o.Set(CURLOPT_TIMEOUT_MS, left_ms);
    o.Set(CURLOPT_NOPROGRESS, 0L);
    o.Set(CURLOPT_XFERINFOFUNCTION, OnProgress);
    o.Set(CURLOPT_XFERINFODATA, t);
    o.Set(CURLOPT_VERBOSE, 1L);
    o.Set(CURLOPT_DEBUGFUNCTION, OnDebug);
    o.Set(CURLOPT_DEBUGDATA, t);
    o.Set(CURLOPT_SSL_VERIFYPEER, 0L);
    o.Set(CURLOPT_SSL_VERIFYHOST, 0L);
    if (use_ssl_ && !implicit_tls) o.Set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (auth_ == vocab::kOn && !user_.empty() && !bearer_.empty()) {
      // libcurl sends OAUTHBEARER whenever the server offers it, even when
      // only XOAUTH2 is asked for here; a bearer token wins over PLAIN and
      // LOGIN, and no password goes out.
      o.Set(CURLOPT_USERNAME, user_.c_str());
      o.Set(CURLOPT_XOAUTH2_BEARER, bearer_.c_str());
      o.Set(CURLOPT_LOGIN_OPTIONS, mechanism_ == LoginMethod::kXoauth2       ? "AUTH=XOAUTH2"
                                   : mechanism_ == LoginMethod::kOAuthBearer ? "AUTH=OAUTHBEARER"
                                                                             : "AUTH=OAUTHBEARER;AUTH=XOAUTH2");
    } else if (auth_ == vocab::kOn && !user_.empty() && !password_.empty()) {
      o.Set(CURLOPT_USERNAME, user_.c_str());
      o.Set(CURLOPT_PASSWORD, password_.c_str());
      o.Set(CURLOPT_LOGIN_OPTIONS, "AUTH=*");
    }
    o.Set(CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    o.Set(CURLOPT_OPENSOCKETDATA, t);
    o.Set(CURLOPT_SOCKOPTFUNCTION, SocketOptions);
    o.Set(CURLOPT_SOCKOPTDATA, t);
    o.Set(CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    o.Set(CURLOPT_CLOSESOCKETDATA, t);

    Status s = o.status();
    if (s.ok()) {
      const CURLcode rc = curl_easy_perform(curl);
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &t->reply_code);
      if (rc != CURLE_OK) {
        s = Status::Error(errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc),
                          static_cast<int>(rc));
      }
    }
    curl_slist_free_all(rcpts);
    curl_easy_cleanup(curl);
    return s;
  }

  const SmtpOptions options_;
  std::atomic<bool> stop_{false};
  std::mutex wake_mu_;
  std::condition_variable wake_;
  std::string helo_, server_, user_, password_, auth_, alt_auth_, from_, xheader_, bearer_;
  LoginMethod mechanism_ = LoginMethod::kAutomatic;
  std::string last_tls_, last_mechanism_;
  std::int16_t timeout_ = 0;
  std::int32_t port_ = 0;
  bool use_ssl_ = false;
};

class CurlSmtpComponentFactory : public SmtpComponentFactory {
 public:
  explicit CurlSmtpComponentFactory(SmtpOptions options) : options_(options) {}
  std::unique_ptr<SmtpComponent> Create() override {
    return std::make_unique<CurlSmtpComponent>(options_);
  }

 private:
  SmtpOptions options_;
};

}  // namespace

std::unique_ptr<SmtpComponentFactory> NewCurlSmtpComponentFactory(SmtpOptions options) {
  return std::make_unique<CurlSmtpComponentFactory>(options);
}

}  // namespace tessaly
