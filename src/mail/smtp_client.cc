#include "mail/smtp_client.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "env/base64.h"
#include "mail/command_value.h"
#include "mail/connection.h"
#include "mail/mail_message.h"

namespace tessaly {
namespace {

// Accepts every certificate when the caller gives no events of its own.
class AcceptAll : public ComponentEvents {
 public:
  void OnCertificate(std::string_view, bool* accept) override { *accept = true; }
};

struct Reply {
  int code = 0;
  std::vector<std::string> lines;  // without the code and separator
  std::string last;                // the last line, whole
};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

class Session {
 public:
  Session(const SmtpSettings& settings, ComponentEvents* events) : s_(settings) {
    conn_.SetEvents(events != nullptr ? events : &accept_all_);
    conn_.SetTimeout(settings.timeout_seconds);
  }
  ~Session() { conn_.Close(); }

  Status Send(std::string_view to, std::string_view message) {
    if (HasLineBreak(to) || HasLineBreak(s_.from) || HasLineBreak(s_.helo)) {
      return Status::Error("line break in sender, recipient or greeting name refused",
                           kErrorConfig);
    }
    Status st = conn_.Open(s_.server, s_.port, s_.use_ipv6);
    const bool implicit = s_.use_ssl && s_.port == s_.implicit_tls_port;
    if (st.ok() && implicit) st = conn_.StartTls(s_.server);
    if (!st.ok()) return st;
    Reply r;
    if (!(st = Expect("greeting", 220, &r)).ok()) return st;
    if (!(st = Greet()).ok()) return st;
    if (s_.use_ssl && !implicit) {
      if (!(st = Command("STARTTLS", "STARTTLS", 220, &r)).ok()) return st;
      if (!(st = conn_.StartTls(s_.server)).ok()) return st;
      if (!(st = Greet()).ok()) return st;
    }
    if (s_.login && !s_.user.empty() && !s_.bearer_token.empty()) {
      if (!(st = OAuthLogin()).ok()) return st;
    } else if (s_.login && !s_.user.empty() && !s_.password.empty()) {
      if (!(st = Login()).ok()) return st;
    }
    if (!(st = Command("MAIL FROM:<" + s_.from + ">", "MAIL FROM", 250, &r)).ok()) return st;
    if (!(st = Command("RCPT TO:<" + std::string(to) + ">", "RCPT TO", 250, &r, 251)).ok()) {
      return st;
    }
    if (!(st = Command("DATA", "DATA", 354, &r)).ok()) return st;
    std::string body = DotStuff(message);
    if (body.size() < 2 || body.compare(body.size() - 2, 2, "\r\n") != 0) body += "\r\n";
    body += ".\r\n";
    if (!(st = conn_.Write(body)).ok()) return st;
    if (!(st = Expect("message", 250, &r)).ok()) return st;
    // The message is accepted; a failing goodbye changes nothing.
    if (conn_.Write("QUIT\r\n").ok()) Read(&r);
    return Status::Ok();
  }

  // What went out in AUTH (Base64 of the credentials), so that a server
  // echoing it back never puts it into a description.
  const std::vector<std::string>& sent_secrets() const { return sent_secrets_; }

 private:
  Status Read(Reply* r) {
    r->lines.clear();
    for (;;) {
      std::string line;
      Status st = conn_.ReadLine(&line);
      if (!st.ok()) return st;
      if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
          !std::isdigit(static_cast<unsigned char>(line[1])) ||
          !std::isdigit(static_cast<unsigned char>(line[2])) ||
          (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        return Status::Error("unreadable server reply: " + ReplyText(line), kErrorProtocol);
      }
      r->code = std::stoi(line.substr(0, 3));
      r->lines.push_back(line.size() > 4 ? line.substr(4) : "");
      r->last = line;
      if (line.size() == 3 || line[3] == ' ') return Status::Ok();
    }
  }

  Status Expect(std::string_view step, int code, Reply* r, int also = -1) {
    Status st = Read(r);
    if (!st.ok()) return st;
    if (r->code != code && r->code != also) {
      return Status::Error(std::string(step) + " refused: " + ReplyText(r->last), r->code);
    }
    return Status::Ok();
  }

  Status Command(const std::string& line, std::string_view step, int code, Reply* r,
                 int also = -1) {
    Status st = conn_.Write(line + "\r\n");
    if (!st.ok()) return st;
    return Expect(step, code, r, also);
  }

  Status Greet() {
    const std::string name = s_.helo.empty() ? std::string("localhost") : s_.helo;
    Reply r;
    Status st = conn_.Write("EHLO " + name + "\r\n");
    if (!st.ok()) return st;
    if (!(st = Read(&r)).ok()) return st;
    if (r.code == 250) {
      mechanisms_.clear();
      for (std::size_t i = 1; i < r.lines.size(); ++i) {
        const std::string up = Upper(r.lines[i]);
        if (up.rfind("AUTH", 0) != 0 || up.size() <= 4 || (up[4] != ' ' && up[4] != '=')) {
          continue;
        }
        std::size_t at = 5;
        while (at < up.size()) {
          const std::size_t end = std::min(up.find(' ', at), up.size());
          if (end > at) mechanisms_.push_back(up.substr(at, end - at));
          at = end + 1;
        }
      }
      return Status::Ok();
    }
    if (r.code >= 500) return Command("HELO " + name, "HELO", 250, &r);
    return Status::Error("EHLO refused: " + ReplyText(r.last), r.code);
  }

  bool Offers(std::string_view mechanism) const {
    return std::find(mechanisms_.begin(), mechanisms_.end(), mechanism) != mechanisms_.end();
  }

  Status Login() {
    Reply r;
    if (Offers("PLAIN")) {
      std::string token;
      token.push_back('\0');
      token += s_.user;
      token.push_back('\0');
      token += s_.password;
      sent_secrets_.push_back(Base64Encode(token));
      Status st = conn_.Write("AUTH PLAIN " + sent_secrets_.back() + "\r\n");
      if (!st.ok()) return st;
      return Expect("AUTH", 235, &r);
    }
    if (Offers("LOGIN")) {
      Status st = Command("AUTH LOGIN", "AUTH", 334, &r);
      if (!st.ok()) return st;
      if (!(st = Command(Base64Encode(s_.user), "AUTH", 334, &r)).ok()) return st;
      sent_secrets_.push_back(Base64Encode(s_.password));
      return Command(sent_secrets_.back(), "AUTH", 235, &r);
    }
    return Status::Error("AUTH refused: the server offers neither PLAIN nor LOGIN", kErrorServer);
  }

  // AUTH by access token (RFC 7628, and Google's and Microsoft's XOAUTH2).
  // An EHLO reply without AUTH offers no mechanism at all (RFC 4954), so
  // the choice never guesses.
  Status OAuthLogin() {
    if (!FitsInCommandLine(s_.user)) return Status::Error("user name cannot be sent", kErrorConfig);
    if (!FitsInCommandLine(s_.bearer_token)) {
      return Status::Error("access token cannot be sent", kErrorConfig);
    }
    LoginMethod mech = LoginMethod::kPassword;
    Status st = ChooseMechanism(s_.mechanism, mechanisms_, /*listed=*/true, &mech);
    if (!st.ok()) return Status::Error("AUTH refused: " + st.message(), kErrorServer);
    const std::string name(MechanismName(mech));
    const std::string response =
        Base64Encode(OAuthInitialResponse(mech, s_.user, s_.bearer_token, s_.server, s_.port));
    sent_secrets_.push_back(response);
    Reply r;
    bool sent = false;
    // A server that hangs up once it has the response found it too large
    // (or otherwise unacceptable): a refused login, not a lost connection.
    auto dropped = [&](const Status& failure) {
      if (!sent || failure.code() != kErrorTransport ||
          failure.message().find("timed out") != std::string::npos) {
        return failure;
      }
      return Status::Error(OAuthDroppedText(mech, response.size()), kErrorServer);
    };
    // The initial response rides on the AUTH line only while the line stays
    // within SMTP's 512 octets (RFC 4954 section 4); else it follows the
    // server's empty 334.
    const std::string with_response = "AUTH " + name + " " + response;
    if (with_response.size() + 2 <= 512) {
      if (!(st = conn_.Write(with_response + "\r\n")).ok()) return st;
    } else {
      if (!(st = conn_.Write("AUTH " + name + "\r\n")).ok()) return st;
      if (!(st = Read(&r)).ok()) return st;
      if (r.code != 334) {
        return Status::Error(OAuthRefusedText(mech, ReplyText(r.last), ""), r.code);
      }
      if (!(st = conn_.Write(response + "\r\n")).ok()) return st;
    }
    sent = true;
    if (!(st = Read(&r)).ok()) return dropped(st);
    std::string challenge;
    if (r.code == 334) {
      // The refusal's reason, as Base64 JSON; the server sends its final
      // reply only after the client's answer.
      challenge = DecodeChallenge(r.lines.empty() ? std::string() : r.lines.back());
      st = conn_.Write(std::string(OAuthFailureAnswer(mech)) + "\r\n");
      if (st.ok()) st = Read(&r);
      if (!st.ok()) return dropped(st);
    }
    if (r.code == 235 && challenge.empty()) return Status::Ok();
    return Status::Error(
        OAuthRefusedText(mech, ReplyText(r.last), "") + OAuthChallengeNote(challenge),
        r.code != 0 ? r.code : kErrorServer);
  }

  const SmtpSettings& s_;
  AcceptAll accept_all_;
  Connection conn_;
  std::vector<std::string> mechanisms_;  // AUTH mechanisms offered, upper case
  std::vector<std::string> sent_secrets_;
};

// Replaces every occurrence of secret in text by "***". Secrets shorter
// than 8 bytes are left alone: they would mask ordinary words of a reply
// and are no credential a server would echo.
void Hide(std::string* text, const std::string& secret) {
  if (secret.size() < 8) return;
  for (std::size_t p = text->find(secret); p != std::string::npos; p = text->find(secret, p + 3)) {
    text->replace(p, secret.size(), "***");
  }
}

}  // namespace

Status SendSmtpMessage(const SmtpSettings& settings, std::string_view to,
                       std::string_view message, ComponentEvents* events) {
  Session session(settings, events);
  Status st = session.Send(to, message);
  if (st.ok()) return st;
  std::string text = st.message();
  for (const std::string& secret : session.sent_secrets()) Hide(&text, secret);
  // The password never goes out as it is, only in Base64 (hidden above).
  Hide(&text, settings.bearer_token);
  return Status::Error(text, st.code());
}

}  // namespace tessaly
