// The HTTPS POST of the token client on Windows, through WinHTTP: no
// redirects, one deadline for the whole exchange. The endpoint's
// certificate is verified by WinHTTP against the system's store, or, with
// a CA file, against the certificates of that file alone (as libcurl does
// on POSIX): WinHTTP then lets a root it does not know pass, and the
// chain, its use and the host name are checked here, completely, after
// the handshake and before the body, which holds the client secret or the
// refresh token, is written.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "env/ansi_text_win.h"
#include "mail/token_client.h"

namespace tessaly {
namespace {

constexpr char kUnreachable[] = "cannot reach the token endpoint: ";
// A CA file larger than this is no CA file.
constexpr std::size_t kMaxCaFile = 4 * 1024 * 1024;

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

// Closes a certificate store when it goes out of scope.
class Store {
 public:
  Store() = default;
  ~Store() {
    if (h_ != nullptr) CertCloseStore(h_, 0);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  HCERTSTORE get() const { return h_; }
  HCERTSTORE* put() { return &h_; }

 private:
  HCERTSTORE h_ = nullptr;
};

// The text of a WinHTTP or system error; wine's winhttp.dll carries no
// message table, so the codes a token request meets are named here.
std::string ErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
      return "the operation timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the server name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "the connection was refused or could not be made";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection was reset or closed";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "the TLS handshake failed";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return "TLS failed or the server's certificate is not trusted";
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return "the server's certificate is not issued by a trusted CA";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return "the server's certificate does not name the host";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return "the server's certificate is expired or not yet valid";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the server's answer is not HTTP";
    default:
      break;
  }
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
  return text.empty() ? std::string("error") : text;
}

Status Failed(const char* step, DWORD code = GetLastError()) {
  return Status::Error(std::string(kUnreachable) + step + " failed: " + ErrorText(code) + " (" +
                           std::to_string(code) + ")",
                       static_cast<int>(code));
}

// Reads the PEM certificates of path into a new memory store. Every
// certificate block must decode; a file without one is refused.
Status LoadCaFile(const std::string& path, Store* store) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::Error("cannot read the CA file " + path);
  std::string pem(std::istreambuf_iterator<char>(in), {});
  if (pem.size() > kMaxCaFile) return Status::Error("the CA file " + path + " is too large");
  *store->put() = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (store->get() == nullptr) return Status::Error("no certificate store for the CA file");
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
    const std::size_t stop = pem.find(end, at);
    if (stop == std::string::npos) break;
    const DWORD length = static_cast<DWORD>(stop + end.size() - at);
    DWORD size = 0;
    std::vector<BYTE> der;
    bool ok = CryptStringToBinaryA(pem.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr,
                                   &size, nullptr, nullptr) != 0;
    if (ok) {
      der.resize(size);
      ok = CryptStringToBinaryA(pem.data() + at, length, CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr) != 0 &&
           CertAddEncodedCertificateToStore(store->get(), X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_ALWAYS, nullptr) != 0;
    }
    if (!ok) return Status::Error("unreadable certificate in the CA file " + path);
    ++added;
    at = stop + end.size();
  }
  if (added == 0) return Status::Error("no certificate in the CA file " + path);
  return Status::Ok();
}

std::string ChainFault(DWORD errors) {
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    return "not issued by a CA of the CA file";
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return "expired or not yet valid";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "its signature does not verify";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "not valid for a TLS server";
  if (errors & CERT_TRUST_IS_REVOKED) return "revoked";
  char text[48];
  std::snprintf(text, sizeof text, "chain error 0x%08lx", static_cast<unsigned long>(errors));  // NOLINT
  return text;
}

// The server certificate of request, checked against the roots of the CA
// file alone: chain, validity, use for a TLS server and the host name.
Status VerifyAgainstCaFile(HINTERNET request, const std::wstring& host, HCERTSTORE roots) {
  PCCERT_CONTEXT cert = nullptr;
  DWORD size = sizeof cert;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) ||
      cert == nullptr) {
    return Failed("reading the server's certificate");
  }
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = sizeof config;
  config.hExclusiveRoot = roots;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine)) {
    const DWORD code = GetLastError();
    CertFreeCertificateContext(cert);
    return Failed("a chain engine for the CA file", code);
  }
  LPSTR server_auth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = server_auth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  Status s = Status::Ok();
  if (!CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr,
                               &chain)) {
    s = Failed("building the certificate chain");
  } else if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
    s = Status::Error(std::string(kUnreachable) + "the server's certificate is " +
                      ChainFault(chain->TrustStatus.dwErrorStatus));
  } else {
    HTTPSPolicyCallbackData extra{};
    extra.cbStruct = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      s = Failed("checking the certificate");
    } else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
      s = Status::Error(std::string(kUnreachable) + "the server's certificate does not name " +
                        WideToAnsi(host.data(), host.size()));
    } else if (status.dwError != 0) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status.dwError));  // NOLINT
      s = Status::Error(std::string(kUnreachable) + "the server's certificate is refused (" +
                        code + ")");
    }
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  CertFreeCertificateChainEngine(engine);
  CertFreeCertificateContext(cert);
  return s;
}

class WinHttpPoster : public HttpsPoster {
 public:
  Status Post(const std::string& url, const std::string& body, const std::string& ca_file,
              int timeout_seconds, long* http_status,  // NOLINT(runtime/int)
              std::string* response) override {
    response->clear();
    *http_status = 0;
    const int seconds = timeout_seconds > 0 ? std::min(timeout_seconds, 2000000) : 30;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const Status timed_out =
        Status::Error(std::string(kUnreachable) + "no answer within " + std::to_string(seconds) +
                          " s",
                      ERROR_WINHTTP_TIMEOUT);
    Store roots;
    if (!ca_file.empty()) {
      Status s = LoadCaFile(ca_file, &roots);
      if (!s.ok()) return s;
    }
    std::wstring wide_url = AnsiToWide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return Failed("reading the URL");
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return Status::Error("the token URL is not https");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    Handle session(WinHttpOpen(L"tessaly", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session.get() == nullptr) return Failed("opening an HTTP session");
    Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (connection.get() == nullptr) return Failed("connecting");
    Handle request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      WINHTTP_FLAG_SECURE));
    if (request.get() == nullptr) return Failed("opening the request");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    // One request per connection: a connection kept for reuse would carry
    // a certificate judged under another request's settings (wine pools
    // connections across sessions).
    DWORD no_keep_alive = WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_keep_alive,
                     sizeof no_keep_alive);
    if (roots.get() != nullptr) {
      // Only the root is left to this file's check; WinHTTP still checks
      // the name and the dates.
      DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
        return Failed("setting the certificate check");
      }
    }
    // Every blocking call gets what is left of the deadline.
    auto bound = [&]() {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      const int ms = static_cast<int>(std::max<long long>(left, 1));  // NOLINT(runtime/int)
      WinHttpSetTimeouts(request.get(), ms, ms, ms, ms);
      DWORD response_ms = static_cast<DWORD>(ms);
      WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms,
                       sizeof response_ms);
      return true;
    };
    // A step that failed at the deadline ran out of time, whatever WinHTTP
    // calls it (a stalled TLS handshake is a "secure channel error").
    auto failed = [&](const char* step) {
      const DWORD code = GetLastError();
      const bool late = deadline - std::chrono::steady_clock::now() < std::chrono::milliseconds(100);
      return code == ERROR_WINHTTP_TIMEOUT || late ? timed_out : Failed(step, code);
    };

    // The headers go out first, the body only once the certificate passed.
    const wchar_t headers[] =
        L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
    if (!bound()) return timed_out;
    if (!WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1L),
                            WINHTTP_NO_REQUEST_DATA, 0, static_cast<DWORD>(body.size()), 0)) {
      return failed("sending the request");
    }
    if (roots.get() != nullptr) {
      Status s = VerifyAgainstCaFile(request.get(), host, roots.get());
      if (!s.ok()) return s;
    }
    for (std::size_t sent = 0; sent < body.size();) {
      DWORD wrote = 0;
      if (!bound()) return timed_out;
      if (!WinHttpWriteData(request.get(), body.data() + sent,
                            static_cast<DWORD>(body.size() - sent), &wrote)) {
        return failed("sending the request");
      }
      if (wrote == 0) return Failed("sending the request", ERROR_WINHTTP_CONNECTION_ERROR);
      sent += wrote;
    }
    if (!bound()) return timed_out;
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return failed("receiving the answer");
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return failed("reading the HTTP status");
    }
    // Read until the end or kMaxTokenResponse bytes, whichever comes first:
    // an endless answer cannot hold the call.
    std::vector<char> chunk(16384);
    while (response->size() < kMaxTokenResponse) {
      DWORD got = 0;
      if (!bound()) return timed_out;
      const DWORD want = static_cast<DWORD>(
          std::min<std::size_t>(chunk.size(), kMaxTokenResponse - response->size()));
      if (!WinHttpReadData(request.get(), chunk.data(), want, &got)) {
        return failed("reading the answer");
      }
      if (got == 0) break;
      response->append(chunk.data(), got);
    }
    *http_status = static_cast<long>(status);  // NOLINT(runtime/int)
    return Status::Ok();
  }
};

}  // namespace

std::unique_ptr<HttpsPoster> NewHttpsPoster() { return std::make_unique<WinHttpPoster>(); }

}  // namespace tessaly
