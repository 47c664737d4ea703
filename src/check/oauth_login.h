// The OAuth side of one check run's login: the login method of a side, and
// for an OAuth method an access token that is still good, taken from the
// token cache in the parameter string's state keys or fetched from the
// token endpoint. A rotated refresh token is written back at once.
#ifndef TESSALY_CHECK_OAUTH_LOGIN_H_
#define TESSALY_CHECK_OAUTH_LOGIN_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "check/vocab.h"
#include "env/status.h"
#include "mail/sasl_oauth.h"
#include "mail/token_client.h"

namespace tessaly {

// A cached token is renewed when it has less than this left (seconds), so
// that it never expires in the middle of a login.
inline constexpr std::int64_t kTokenRenewMargin = 300;

// Status code of a secret that is not valid Base64 (the check run treats
// it as it treats an undecodable password).
inline constexpr int kSecretEncodingError = 1;

struct OAuthLogin {
  LoginMethod method = LoginMethod::kPassword;
  std::string token;       // the access token, for an OAuth method
  bool requested = false;  // fetched from the endpoint in this call
};

// Reads keys.method from *params. For the password login fills nothing
// else and leaves *params alone. For an OAuth method sets login->token: the
// cached token when it is still good for kTokenRenewMargin seconds past
// now (Unix seconds), else a new one from client (bounded by
// timeout_seconds), which is then cached in the state keys together with a
// rotated refresh token. Fails with the description of the "ERR" text (an
// unknown method, a failed request), or with kSecretEncodingError and the
// key's name for a secret that does not decode. *params keeps what was
// written before a failure.
Status PrepareOAuthLogin(const vocab::OAuthKeys& keys, TokenClient& client,
                         std::int64_t now, int timeout_seconds, std::string* params,
                         OAuthLogin* login);

// params without the side's cached token: both state keys emptied when a
// token is cached, params unchanged otherwise.
std::string ForgetAccessToken(std::string_view params, const vocab::OAuthKeys& keys);

}  // namespace tessaly

#endif  // TESSALY_CHECK_OAUTH_LOGIN_H_
