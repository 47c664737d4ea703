#include "mail/token_client.h"

#include <cctype>
#include <charconv>

#include <nlohmann/json.hpp>

#include "check/vocab.h"

namespace tessaly {
namespace {

constexpr std::size_t kMaxText = 300;

// RFC 3986 unreserved bytes stay, every other byte becomes %XX (the form
// encoding of RFC 6749 appendix B, with "%20" for a blank).
std::string FormEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// One line of at most kMaxText bytes, control bytes as blanks.
std::string OneLine(std::string_view text) {
  std::string out(text.substr(0, kMaxText));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

std::string Text(const nlohmann::json& doc, const char* name) {
  auto it = doc.find(name);
  if (it == doc.end() || it->is_null()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

// Every occurrence of secret (when not empty) replaced by "****".
void Hide(std::string* text, std::string_view secret) {
  if (secret.empty()) return;
  for (std::size_t p = text->find(secret); p != std::string::npos;
       p = text->find(secret, p + 4)) {
    text->replace(p, secret.size(), "****");
  }
}

class TokenClientImpl : public TokenClient {
 public:
  explicit TokenClientImpl(std::unique_ptr<HttpsPoster> poster) : poster_(std::move(poster)) {}

  Status Request(const TokenRequest& request, TokenGrant* grant) override {
    Status s = Check(request);
    if (s.ok()) {
      long http_status = 0;
      std::string body;
      s = poster_->Post(request.url, TokenRequestBody(request), request.ca_file,
                        request.timeout_seconds > 0 ? request.timeout_seconds : 30,
                        &http_status, &body);
      if (s.ok()) s = ParseTokenReply(http_status, body, grant);
    }
    if (s.ok()) return s;
    std::string text = s.message();
    Hide(&text, request.client_secret);
    Hide(&text, request.refresh_token);
    return Status::Error(std::string(vocab::kTokenRequestFailed) + text, s.code());
  }

 private:
  static Status Check(const TokenRequest& request) {
    if (request.url.empty()) return Status::Error("no token endpoint URL");
    std::string scheme = request.url.substr(0, 8);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "https://") {
      return Status::Error("the token endpoint URL must begin with https:// (got \"" +
                           OneLine(request.url) + "\")");
    }
    if (request.client_id.empty()) return Status::Error("no client id");
    return Status::Ok();
  }

  std::unique_ptr<HttpsPoster> poster_;
};

}  // namespace

std::string TokenRequestBody(const TokenRequest& request) {
  std::string body;
  auto add = [&](std::string_view name, std::string_view value) {
    if (!body.empty()) body += '&';
    body.append(name);
    body += '=';
    body += FormEncode(value);
  };
  if (request.refresh_token.empty()) {
    add("grant_type", "client_credentials");
  } else {
    add("grant_type", "refresh_token");
    add("refresh_token", request.refresh_token);
  }
  add("client_id", request.client_id);
  if (!request.client_secret.empty()) add("client_secret", request.client_secret);
  if (!request.scope.empty()) add("scope", request.scope);
  return body;
}

Status ParseTokenReply(long http_status, std::string_view body, TokenGrant* grant) {
  const std::string status_text = "HTTP " + std::to_string(http_status);
  nlohmann::json doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) {
    return Status::Error("the token endpoint answered " + status_text +
                         " without a JSON object");
  }
  const std::string error = Text(doc, "error");
  if (!error.empty() || http_status < 200 || http_status > 299) {
    std::string text = error.empty() ? std::string("no token") : error;
    const std::string description = Text(doc, "error_description");
    if (!description.empty()) text += ": " + description;
    return Status::Error(OneLine(text.substr(0, kMaxText - 12) + " (" + status_text + ")"),
                         static_cast<int>(http_status));
  }
  const std::string token = Text(doc, "access_token");
  if (token.empty()) {
    return Status::Error("the token endpoint answered " + status_text +
                         " without an access_token");
  }
  grant->access_token = token;
  grant->expires_in = -1;
  if (auto it = doc.find("expires_in"); it != doc.end()) {
    if (it->is_number_integer()) {
      grant->expires_in = it->get<std::int64_t>();
    } else if (it->is_number()) {
      grant->expires_in = static_cast<std::int64_t>(it->get<double>());
    } else if (it->is_string()) {
      const std::string v = it->get<std::string>();
      std::int64_t n = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec == std::errc() && end == v.data() + v.size()) grant->expires_in = n;
    }
  }
  grant->refresh_token = Text(doc, "refresh_token");
  return Status::Ok();
}

std::unique_ptr<TokenClient> NewTokenClient(std::unique_ptr<HttpsPoster> poster) {
  return std::make_unique<TokenClientImpl>(std::move(poster));
}

}  // namespace tessaly
