// OAuth 2.0 access tokens from a token endpoint (RFC 6749): the
// client-credentials grant (application access, as Microsoft 365 offers
// for POP3, IMAP4 and SMTP) and the refresh-token grant (delegated access,
// as Google offers). The request body and the reading of the reply are
// platform-neutral here; the HTTPS POST itself goes through HttpsPoster,
// libcurl on POSIX (https_post_posix.cc), WinHTTP on Windows
// (https_post_win.cc). Unlike the mail connections, the endpoint's
// certificate is always verified.
#ifndef TESSALY_MAIL_TOKEN_CLIENT_H_
#define TESSALY_MAIL_TOKEN_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "env/status.h"

namespace tessaly {

struct TokenRequest {
  std::string url;            // https:// only
  std::string client_id;
  std::string client_secret;  // "" for a public client
  std::string scope;          // "" sends none
  std::string refresh_token;  // "" means the client-credentials grant
  std::string ca_file;        // "" means the system's CA store
  int timeout_seconds = 30;   // bounds the whole request; 0 or below: 30
};

struct TokenGrant {
  std::string access_token;
  // Seconds the token is valid from now; -1 when the endpoint said nothing
  // (the caller then uses it for this call only).
  std::int64_t expires_in = -1;
  // A new refresh token when the endpoint rotated it, else "".
  std::string refresh_token;
};

// Abstract so that the check run is tested without a network.
class TokenClient {
 public:
  virtual ~TokenClient() = default;
  // Asks the endpoint for a token. Fails with one line of text (never
  // holding the secret or a token): the endpoint's "error" and
  // "error_description" when it answered with them, else what went wrong.
  virtual Status Request(const TokenRequest& request, TokenGrant* grant) = 0;
};

// One HTTPS POST of a form body.
class HttpsPoster {
 public:
  virtual ~HttpsPoster() = default;
  // POSTs body as application/x-www-form-urlencoded to url, verifying the
  // server's certificate and name against ca_file (PEM; its certificates
  // are then the only roots trusted) or the system's store when "", before
  // the body goes out, within timeout_seconds for the whole exchange. Follows no
  // redirect. On a completed exchange sets *http_status and *response (cut
  // at kMaxTokenResponse bytes) and returns Ok whatever the status;
  // fails only when no HTTP answer arrived, with a one-line reason.
  virtual Status Post(const std::string& url, const std::string& body,
                      const std::string& ca_file, int timeout_seconds,
                      long* http_status, std::string* response) = 0;
};

inline constexpr std::size_t kMaxTokenResponse = 256 * 1024;

// The form body of request: grant_type, refresh_token (refresh grant),
// client_id, client_secret (when not empty), scope (when not empty), each
// value percent-encoded.
std::string TokenRequestBody(const TokenRequest& request);

// Reads the endpoint's answer. A 2xx JSON object with "access_token" fills
// *grant ("expires_in" as a number or a decimal string); a JSON "error"
// becomes "error: error_description (HTTP n)"; anything else says what
// arrived. Texts are one line and cut at 300 bytes.
Status ParseTokenReply(long http_status, std::string_view body, TokenGrant* grant);

// A token client over poster.
std::unique_ptr<TokenClient> NewTokenClient(std::unique_ptr<HttpsPoster> poster);
// The platform's HTTPS POST (libcurl on POSIX, WinHTTP on Windows).
std::unique_ptr<HttpsPoster> NewHttpsPoster();

}  // namespace tessaly

#endif  // TESSALY_MAIL_TOKEN_CLIENT_H_
