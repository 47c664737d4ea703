// The HTTPS POST of the token client on Windows, through WinHTTP: the
// system's TLS and certificate store, no redirects, every phase bounded by
// the time-out.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "env/ansi_text_win.h"
#include "mail/token_client.h"

namespace tessaly {
namespace {

// Closes a WinHTTP handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HINTERNET h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

std::string LastErrorText(const char* step) {
  const DWORD code = GetLastError();
  char buffer[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           GetModuleHandleA("winhttp.dll"), code, 0, buffer, sizeof buffer,
                           nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  return std::string(step) + " failed: " + (text.empty() ? "error" : text) + " (" +
         std::to_string(code) + ")";
}

class WinHttpPoster : public HttpsPoster {
 public:
  Status Post(const std::string& url, const std::string& body, const std::string& ca_file,
              int timeout_seconds, long* http_status,  // NOLINT(runtime/int)
              std::string* response) override {
    response->clear();
    *http_status = 0;
    if (!ca_file.empty()) {
      // WinHTTP judges certificates by the system's store only; a file of
      // its own would be silently ignored, so it is refused instead.
      return Status::Error("a CA file is not supported on Windows; add the CA to the system's "
                           "certificate store");
    }
    std::wstring wide_url = AnsiToWide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return Status::Error(LastErrorText("URL"));
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return Status::Error("the token URL is not https");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    const int ms = (timeout_seconds > 0 ? std::min(timeout_seconds, 2000000) : 30) * 1000;
    Handle session(WinHttpOpen(L"tessaly", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session.get() == nullptr) return Status::Error(LastErrorText("HTTPS session"));
    WinHttpSetTimeouts(session.get(), ms, ms, ms, ms);
    Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (connection.get() == nullptr) return Status::Error(LastErrorText("HTTPS connect"));
    Handle request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      WINHTTP_FLAG_SECURE));
    if (request.get() == nullptr) return Status::Error(LastErrorText("HTTPS request"));
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    const wchar_t headers[] =
        L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
    if (!WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1L),
                            const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
      return Status::Error(LastErrorText("HTTPS exchange"));
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return Status::Error(LastErrorText("HTTPS status"));
    }
    std::vector<char> chunk(16384);
    for (;;) {
      DWORD got = 0;
      if (!WinHttpReadData(request.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got)) {
        return Status::Error(LastErrorText("HTTPS read"));
      }
      if (got == 0) break;
      if (response->size() < kMaxTokenResponse) {
        response->append(chunk.data(), std::min<std::size_t>(got, kMaxTokenResponse - response->size()));
      }
    }
    *http_status = static_cast<long>(status);  // NOLINT(runtime/int)
    return Status::Ok();
  }
};

}  // namespace

std::unique_ptr<HttpsPoster> NewHttpsPoster() { return std::make_unique<WinHttpPoster>(); }

}  // namespace tessaly
