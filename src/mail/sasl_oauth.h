// SASL messages of the OAuth 2.0 login, shared by the POP3 (AUTH), IMAP4
// (AUTHENTICATE) and SMTP sides on every platform: the login method, the
// choice of mechanism from what a server offers, the initial responses of
// XOAUTH2 and OAUTHBEARER (RFC 7628), the answer a client owes a failure
// challenge, and the failure text built from the decoded challenge. Pure
// functions, no network.
#ifndef TESSALY_MAIL_SASL_OAUTH_H_
#define TESSALY_MAIL_SASL_OAUTH_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "env/status.h"

namespace tessaly {

// How one side logs in. kPassword is the login of every stored string that
// has no login-method key.
enum class LoginMethod { kPassword, kXoauth2, kOAuthBearer, kAutomatic };

// Reads a SAUTH/PAUTH value: blanks around it ignored, letters in any case;
// "" and "PASSWORD" are the password login. False for any other text.
bool ParseLoginMethod(std::string_view value, LoginMethod* method);

// "XOAUTH2" or "OAUTHBEARER" (the SASL names); "" for the others.
std::string_view MechanismName(LoginMethod mechanism);

// The mechanism to use for method (kXoauth2, kOAuthBearer or kAutomatic)
// when the server lists `offered` (SASL names, any case). listed is false
// when the server gave no list at all: the configured mechanism is tried
// then, and kAutomatic tries XOAUTH2, which the big providers all take.
// kAutomatic prefers OAUTHBEARER, the standard one, over XOAUTH2. Fails
// with a text naming what the server offers when it lacks the mechanism.
Status ChooseMechanism(LoginMethod method, const std::vector<std::string>& offered,
                       bool listed, LoginMethod* chosen);

// The initial client response (raw bytes, before Base64):
//   XOAUTH2:     "user=" user "\x01auth=Bearer " token "\x01\x01"
//   OAUTHBEARER: "n,a=" user "," "\x01host=" host "\x01port=" port
//                "\x01auth=Bearer " token "\x01\x01"
// with "=" and "," in the OAUTHBEARER user name written "=3D" and "=2C".
std::string OAuthInitialResponse(LoginMethod mechanism, std::string_view user,
                                 std::string_view token, std::string_view host,
                                 std::int32_t port);

// What the client sends (one line, Base64 or empty) in answer to the
// server's failure challenge: "" for XOAUTH2, "AQ==" (a 0x01 byte) for
// OAUTHBEARER.
std::string_view OAuthFailureAnswer(LoginMethod mechanism);

// The JSON text of a Base64 challenge ("" when it does not decode).
std::string DecodeChallenge(std::string_view base64);
// "status" and "scope" of a decoded challenge, joined as "server status
// 401, scope mail"; "" when the JSON has neither.
std::string ChallengeSummary(std::string_view json);

// The description of a refused OAuth login: mechanism + " login refused: "
// + the final reply, then " (" + ChallengeSummary + ")" when the challenge
// told something.
std::string OAuthRefusedText(LoginMethod mechanism, std::string_view final_reply,
                             std::string_view challenge_json);

// What an SMTP failure text adds for a decoded 334 challenge: "; OAuth
// challenge: " and the JSON as one line, cut at 200 bytes; "" when json is
// empty.
std::string OAuthChallengeNote(std::string_view json);

// The description when the server closed the connection while the client's
// SASL response of response_bytes (as sent, Base64) was its last word.
std::string OAuthDroppedText(LoginMethod mechanism, std::size_t response_bytes);

}  // namespace tessaly

#endif  // TESSALY_MAIL_SASL_OAUTH_H_
