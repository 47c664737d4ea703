#include "check/oauth_login.h"

#include <charconv>
#include <optional>

#include "check/param_string.h"
#include "env/base64.h"

namespace tessaly {
namespace {

// The decoded secret of key ("" when absent), or nullopt.
std::optional<std::string> Secret(std::string_view params, std::string_view key) {
  return Base64Decode(GetParameterValue(params, key));
}

std::optional<std::int64_t> UnixTime(std::string_view text) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

Status PrepareOAuthLogin(const vocab::OAuthKeys& keys, TokenClient& client,
                         std::int64_t now, int timeout_seconds, std::string* params,
                         OAuthLogin* login) {
  *login = OAuthLogin();
  const std::string method = GetParameterValue(*params, keys.method);
  if (!ParseLoginMethod(method, &login->method)) {
    return Status::Error(std::string(vocab::kUnknownLoginMethod) + "\"" +
                         std::string(TrimBlanks(method)) + "\" in " +
                         std::string(keys.method));
  }
  if (login->method == LoginMethod::kPassword) return Status::Ok();
  if (UnescapeValue(GetParameterValue(*params, keys.user)).empty()) {
    return Status::Error("an OAuth login needs a user name in " + std::string(keys.user));
  }

  const std::optional<std::string> cached = Secret(*params, keys.access_token);
  const std::optional<std::int64_t> expiry =
      UnixTime(GetParameterValue(*params, keys.expiry));
  if (cached && !cached->empty() && expiry && *expiry - now > kTokenRenewMargin) {
    login->token = *cached;
    return Status::Ok();
  }

  TokenRequest request;
  request.url = TrimBlanks(GetParameterValue(*params, keys.token_url));
  request.client_id = TrimBlanks(GetParameterValue(*params, keys.client_id));
  request.scope = TrimBlanks(GetParameterValue(*params, keys.scope));
  request.ca_file = TrimBlanks(GetParameterValue(*params, keys.ca_file));
  request.timeout_seconds = timeout_seconds;
  for (auto [key, field] : {std::pair{keys.client_secret, &request.client_secret},
                            std::pair{keys.refresh_token, &request.refresh_token}}) {
    std::optional<std::string> secret = Secret(*params, key);
    if (!secret) {
      return Status::Error("Invalid secret encoding in " + std::string(key),
                           kSecretEncodingError);
    }
    *field = std::move(*secret);
  }

  TokenGrant grant;
  Status s = client.Request(request, &grant);
  if (!s.ok()) return Status::Error(s.message());
  login->token = grant.access_token;
  login->requested = true;
  if (!grant.refresh_token.empty() && grant.refresh_token != request.refresh_token) {
    *params = SetParameterValue(*params, keys.refresh_token, Base64Encode(grant.refresh_token));
  }
  // A token without a stated lifetime serves this call only.
  const std::int64_t until = grant.expires_in < 0 ? now : now + grant.expires_in;
  *params = SetParameterValue(*params, keys.access_token, Base64Encode(grant.access_token));
  *params = SetParameterValue(*params, keys.expiry, std::to_string(until));
  return Status::Ok();
}

std::string ForgetAccessToken(std::string_view params, const vocab::OAuthKeys& keys) {
  if (GetParameterValue(params, keys.access_token).empty()) return std::string(params);
  std::string out = SetParameterValue(params, keys.access_token, "");
  return SetParameterValue(out, keys.expiry, "");
}

}  // namespace tessaly
