// The host SMTP component on libcurl. One easy handle per AddMail; the
// server's reply lines are watched through the debug callback so that a
// failure names what the server said; StopSending is an atomic flag that the
// progress callback checks.
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <chrono>
#include <ctime>
#include <string>

#include "check/vocab.h"
#include "mail/mail_message.h"
#include "mail/sasl_oauth.h"
#include "mail/smtp_component.h"

namespace tessaly {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

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

struct Transfer {
  std::string data;
  std::size_t sent = 0;
  std::string last_reply;   // the last reply line the server sent
  std::string error_reply;  // the last 4xx/5xx reply line
  std::string challenge;    // the decoded text of the last "334" challenge
  const std::atomic<bool>* stop = nullptr;
  // libcurl's own time-outs leave the QUIT after a failed step unbounded by
  // TIMEOUT (a stall after the message text takes twice the time-out), so a
  // watchdog shuts the socket down at the deadline or on StopSending.
  std::atomic<bool> timed_out{false};
  std::mutex socket_mu;
  curl_socket_t socket = CURL_SOCKET_BAD;
};

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto* t = static_cast<Transfer*>(user);
  curl_socket_t fd = ::socket(address->family, address->socktype, address->protocol);
  std::lock_guard<std::mutex> lock(t->socket_mu);
  t->socket = fd;
  return fd;
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

// Only server replies are kept; client commands (which carry credentials on
// AUTH) are never looked at or stored.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_HEADER_IN) return 0;
  auto* t = static_cast<Transfer*>(user);
  std::string line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  t->last_reply = line;
  // A SASL challenge; an OAuth refusal carries its reason here as Base64
  // JSON before the final reply (or before libcurl hangs up).
  if (line.rfind("334 ", 0) == 0 && line.size() > 4) t->challenge = DecodeChallenge(line.substr(4));
  if (!line.empty() && (line[0] == '4' || line[0] == '5')) t->error_reply = line;
  return 0;
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
    if (EqualNoCase(name, kSmtpPropHelo)) return text(&helo_, true);
    if (EqualNoCase(name, kSmtpPropServer)) return text(&server_, true);
    if (EqualNoCase(name, kSmtpPropUser)) return text(&user_, false);
    if (EqualNoCase(name, kSmtpPropPassword)) return text(&password_, false);
    if (EqualNoCase(name, kSmtpPropAuth)) return text(&auth_, false);
    if (EqualNoCase(name, kSmtpPropAltAuth)) return text(&alt_auth_, false);
    if (EqualNoCase(name, kSmtpPropFrom)) return text(&from_, true);
    if (EqualNoCase(name, kSmtpPropXHeader)) return text(&xheader_, true);
    if (EqualNoCase(name, kSmtpPropBearerToken)) return text(&bearer_, true);
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
    if (!IsSafeHost(server_)) return Status::Error("invalid mail server name");
    if (port_ < 0 || port_ > 65535) {
      return Status::Error("invalid mail port " + std::to_string(port_));
    }
    MailMessage message{from_, std::string(to), std::string(subject), xheader_,
                        std::string(body)};
    Transfer t;
    t.stop = &stop_;
    // libcurl dot-stuffs the upload itself, so the text goes out unstuffed.
    Status s = ComposeMessage(message, std::time(nullptr),
                              NewMessageId(MessageIdDomain(from_)), &t.data);
    if (!s.ok()) return s;
    return Send(std::string(to), &t);
  }

  void StopSending() override {
    {
      std::lock_guard<std::mutex> lock(wake_mu_);
      stop_.store(true);
    }
    wake_.notify_all();
  }

 private:
  static Status Bad(std::string_view name, std::string_view value) {
    return Status::Error("invalid value " + Clean(std::string(value), "") + " for " +
                         std::string(name));
  }

  std::string Url(CURL* curl, bool implicit_tls) const {
    std::string host = server_;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    std::string url = implicit_tls ? "smtps://" : "smtp://";
    url += host;
    if (port_ > 0) url += ":" + std::to_string(port_);
    url += "/";
    // The path is the EHLO name; escaped so that any name stays one path.
    if (char* e = curl_easy_escape(curl, helo_.data(), static_cast<int>(helo_.size()))) {
      url += e;
      curl_free(e);
    }
    return url;
  }

  Status Send(const std::string& to, Transfer* t) {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init != CURLE_OK) return Status::Error("libcurl init failed", init);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return Status::Error("libcurl handle could not be made");

    const bool implicit_tls = use_ssl_ && port_ == options_.implicit_tls_port;
    const long seconds = timeout_ > 0 ? timeout_ : options_.default_timeout_seconds;
    const std::string url = Url(curl, implicit_tls);
    const std::string from = "<" + from_ + ">";
    const std::string rcpt = "<" + to + ">";
    curl_slist* rcpts = curl_slist_append(nullptr, rcpt.c_str());
    char errbuf[CURL_ERROR_SIZE] = {0};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpts);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, t);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->data.size()));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, seconds);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, seconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, seconds);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, t);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    if (use_ssl_ && !implicit_tls) curl_easy_setopt(curl, CURLOPT_USE_SSL, CURLUSESSL_ALL);
    if (auth_ == vocab::kOn && !user_.empty() && !bearer_.empty()) {
      // libcurl sends OAUTHBEARER whenever the server offers it, even when
      // only XOAUTH2 is asked for here; a bearer token wins over PLAIN and
      // LOGIN, and no password goes out.
      curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
      curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, bearer_.c_str());
      curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS,
                       mechanism_ == LoginMethod::kXoauth2       ? "AUTH=XOAUTH2"
                       : mechanism_ == LoginMethod::kOAuthBearer ? "AUTH=OAUTHBEARER"
                                                                 : "AUTH=OAUTHBEARER;AUTH=XOAUTH2");
    } else if (auth_ == vocab::kOn && !user_.empty() && !password_.empty()) {
      curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
      curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=*");
    }

    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, t);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, t);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool finished = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(wake_mu_);
      wake_.wait_until(lock, deadline, [&] { return finished || stop_.load(); });
      if (finished) return;
      if (!stop_.load()) t->timed_out = true;
      ShutDown(t);
    });
    CURLcode rc = curl_easy_perform(curl);
    {
      std::lock_guard<std::mutex> lock(wake_mu_);
      finished = true;
    }
    wake_.notify_all();
    watchdog.join();
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_slist_free_all(rcpts);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OK) return Status::Ok();

    std::string text = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
    if (stop_.load()) {
      text = "sending stopped";
    } else if (t->timed_out.load()) {
      text = "no answer within " + std::to_string(seconds) + " s";
    }
    if (!t->error_reply.empty()) {
      text += "; server: " + t->error_reply;
    } else if (code >= 400 && !t->last_reply.empty()) {
      text += "; server: " + t->last_reply;
    }
    if (!bearer_.empty() && !t->challenge.empty()) {
      std::string json = t->challenge.substr(0, 200);
      for (char& c : json) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
      }
      text += "; OAuth challenge: " + json;
    }
    return Status::Error(Clean(Clean(text, password_), bearer_),
                         code != 0 ? static_cast<int>(code) : static_cast<int>(rc));
  }

  const SmtpOptions options_;
  std::atomic<bool> stop_{false};
  std::mutex wake_mu_;
  std::condition_variable wake_;
  std::string helo_, server_, user_, password_, auth_, alt_auth_, from_, xheader_, bearer_;
  LoginMethod mechanism_ = LoginMethod::kAutomatic;
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
