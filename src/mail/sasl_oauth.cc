#include "mail/sasl_oauth.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "check/param_string.h"
#include "check/vocab.h"
#include "env/base64.h"

namespace tessaly {
namespace {

std::string Upper(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Offers(const std::vector<std::string>& offered, std::string_view name) {
  return std::any_of(offered.begin(), offered.end(),
                     [&](const std::string& m) { return Upper(m) == name; });
}

// A JSON value as text: strings as they are, numbers and others dumped.
std::string JsonText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

// Control bytes replaced by blanks, so that a text stays one line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

}  // namespace

bool ParseLoginMethod(std::string_view value, LoginMethod* method) {
  const std::string v = Upper(TrimBlanks(value));
  if (v.empty() || v == vocab::kLoginPassword) {
    *method = LoginMethod::kPassword;
  } else if (v == vocab::kLoginXoauth2) {
    *method = LoginMethod::kXoauth2;
  } else if (v == vocab::kLoginOAuthBearer) {
    *method = LoginMethod::kOAuthBearer;
  } else if (v == vocab::kLoginAutomatic) {
    *method = LoginMethod::kAutomatic;
  } else {
    return false;
  }
  return true;
}

std::string_view MechanismName(LoginMethod mechanism) {
  switch (mechanism) {
    case LoginMethod::kXoauth2:
      return vocab::kLoginXoauth2;
    case LoginMethod::kOAuthBearer:
      return vocab::kLoginOAuthBearer;
    case LoginMethod::kPassword:
    case LoginMethod::kAutomatic:
      break;
  }
  return {};
}

Status ChooseMechanism(LoginMethod method, const std::vector<std::string>& offered,
                       bool listed, LoginMethod* chosen) {
  if (method == LoginMethod::kPassword) {
    return Status::Error("no OAuth login method configured");
  }
  if (!listed) {
    *chosen = method == LoginMethod::kAutomatic ? LoginMethod::kXoauth2 : method;
    return Status::Ok();
  }
  for (LoginMethod m : {LoginMethod::kOAuthBearer, LoginMethod::kXoauth2}) {
    if ((method == m || method == LoginMethod::kAutomatic) && Offers(offered, MechanismName(m))) {
      *chosen = m;
      return Status::Ok();
    }
  }
  std::string list;
  for (const std::string& m : offered) list += (list.empty() ? "" : " ") + m;
  const std::string wanted = method == LoginMethod::kAutomatic
                                 ? "neither OAUTHBEARER nor XOAUTH2"
                                 : "no " + std::string(MechanismName(method));
  return Status::Error(OneLine("the server offers " + wanted + " login (it offers: " +
                               (list.empty() ? std::string("nothing") : list) + ")"));
}

std::string OAuthInitialResponse(LoginMethod mechanism, std::string_view user,
                                 std::string_view token, std::string_view host,
                                 std::int32_t port) {
  std::string out;
  if (mechanism == LoginMethod::kOAuthBearer) {
    out = "n,a=";
    for (char c : user) {
      if (c == '=') {
        out += "=3D";
      } else if (c == ',') {
        out += "=2C";
      } else {
        out += c;
      }
    }
    out += ",\x01host=";
    out.append(host);
    out += "\x01port=" + std::to_string(port);
    out += "\x01";
  } else {
    out = "user=";
    out.append(user);
    out += "\x01";
  }
  out += "auth=Bearer ";
  out.append(token);
  out += "\x01\x01";
  return out;
}

std::string_view OAuthFailureAnswer(LoginMethod mechanism) {
  return mechanism == LoginMethod::kOAuthBearer ? "AQ==" : "";
}

std::string DecodeChallenge(std::string_view base64) {
  std::optional<std::string> json = Base64Decode(TrimBlanks(base64));
  return json ? *json : std::string();
}

std::string ChallengeSummary(std::string_view json) {
  nlohmann::json doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return {};
  std::string out;
  if (auto it = doc.find("status"); it != doc.end()) out = "server status " + JsonText(*it);
  if (auto it = doc.find("scope"); it != doc.end()) {
    out += (out.empty() ? "" : ", ") + std::string("scope ") + JsonText(*it);
  }
  return OneLine(out.substr(0, 200));
}

std::string OAuthRefusedText(LoginMethod mechanism, std::string_view final_reply,
                             std::string_view challenge_json) {
  std::string text(MechanismName(mechanism));
  text += " login refused: ";
  text.append(final_reply);
  const std::string summary = ChallengeSummary(challenge_json);
  if (!summary.empty()) text += " (" + summary + ")";
  return text;
}

std::string OAuthChallengeNote(std::string_view json) {
  if (json.empty()) return {};
  return "; OAuth challenge: " + OneLine(std::string(json.substr(0, 200)));
}

std::string OAuthDroppedText(LoginMethod mechanism, std::size_t response_bytes) {
  return std::string(MechanismName(mechanism)) +
         " login refused: the server closed the connection after a login response of " +
         std::to_string(response_bytes) + " bytes (a token too large for the server?)";
}

}  // namespace tessaly
