// The HTTPS POST of a token request through libcurl: certificate and host
// name verified, https only, no redirects, one deadline for the whole
// exchange, SIGPIPE held off the calling thread while libcurl writes.
#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "mail/token_client.h"

namespace tessaly {
namespace {

// Blocks SIGPIPE for this thread while it lives, then takes a SIGPIPE
// that arrived meanwhile, so a peer closing mid-write never ends the host
// process and the process's signal disposition stays as it was.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &set, &old_) == 0;
  }
  ~SigpipeBlock() {
    if (!blocked_) return;
    if (!was_pending_) {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&set, nullptr, &zero) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t old_{};
  bool blocked_ = false;
  bool was_pending_ = false;
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
  auto* out = static_cast<std::string*>(user);
  const size_t bytes = size * n;
  if (out->size() < kMaxTokenResponse) {
    out->append(data, std::min(bytes, kMaxTokenResponse - out->size()));
  }
  return bytes;
}

class CurlHttpsPoster : public HttpsPoster {
 public:
  Status Post(const std::string& url, const std::string& body, const std::string& ca_file,
              int timeout_seconds, long* http_status, std::string* response) override {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init != CURLE_OK) return Status::Error("libcurl init failed");
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return Status::Error("libcurl handle could not be made");
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    response->clear();
    const long seconds = timeout_seconds > 0 ? timeout_seconds : 30;
    CURLcode rc = CURLE_OK;
    auto set = [&](auto option, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, body.c_str());
    set(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    set(CURLOPT_HTTPHEADER, headers);
    set(CURLOPT_WRITEFUNCTION, Collect);
    set(CURLOPT_WRITEDATA, response);
    set(CURLOPT_ERRORBUFFER, errbuf);
    set(CURLOPT_NOSIGNAL, 1L);
    // A name lookup still running at the time-out is left to end on its own
    // thread, which frees what it holds; without this, libcurl waits for the
    // system resolver's own time-outs before it returns. A libcurl that
    // lacks the option waits as before.
    curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_CONNECTTIMEOUT, seconds);
    set(CURLOPT_TIMEOUT, seconds);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_USERAGENT, "tessaly");
    if (!ca_file.empty()) set(CURLOPT_CAINFO, ca_file.c_str());
    if (rc == CURLE_OK) {
      SigpipeBlock block;
      rc = curl_easy_perform(curl);
    }
    if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, http_status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OK) return Status::Ok();
    std::string text = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (rc == CURLE_OPERATION_TIMEDOUT) text = "no answer within " + std::to_string(seconds) + " s";
    return Status::Error("cannot reach the token endpoint: " + text, static_cast<int>(rc));
  }
};

}  // namespace

std::unique_ptr<HttpsPoster> NewHttpsPoster() { return std::make_unique<CurlHttpsPoster>(); }

}  // namespace tessaly
