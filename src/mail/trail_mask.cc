#include "mail/trail_mask.h"

#include <cctype>

namespace tessaly {
namespace {

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The first blank-separated word of text and the rest after one blank.
std::string_view Word(std::string_view text, std::string_view* rest) {
  std::size_t sp = text.find(' ');
  if (sp == std::string_view::npos) {
    *rest = {};
    return text;
  }
  *rest = text.substr(sp + 1);
  return text.substr(0, sp);
}

// A literal marker "{n}" or "{n+}" ending text: sets *n.
bool EndsWithLiteral(std::string_view text, std::size_t* n) {
  if (text.size() < 3 || text.back() != '}') return false;
  std::size_t open = text.rfind('{');
  if (open == std::string_view::npos) return false;
  std::string_view digits = text.substr(open + 1, text.size() - open - 2);
  if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
  if (digits.empty() || digits.size() > 9) return false;
  std::size_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  *n = v;
  return true;
}

// Length of one IMAP astring at the start of text (quoted or atom).
std::size_t AstringLength(std::string_view text) {
  if (text.empty()) return 0;
  if (text.front() == '"') {
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        return i + 1;
      }
    }
    return text.size();
  }
  std::size_t sp = text.find(' ');
  return sp == std::string_view::npos ? text.size() : sp;
}

}  // namespace

std::string TrailMask::MaskLogin(std::string_view head, std::string_view args) {
  std::size_t n = 0;
  std::size_t user_len = AstringLength(args);
  std::string_view user = args.substr(0, user_len);
  if (EndsWithLiteral(user, &n) && user_len == args.size()) {
    // The user name follows as a literal; the password comes after it.
    user_literal_ = n;
    user_literal_pending_ = true;
    return std::string(head) + std::string(args);
  }
  std::string out = std::string(head) + std::string(user);
  if (user_len >= args.size()) return out;
  std::string_view pass = args.substr(user_len + 1);
  if (EndsWithLiteral(pass, &n) && pass.front() == '{') {
    next_is_secret_ = true;
    return out + " " + std::string(pass);
  }
  return out + " " + std::string(kMask);
}

std::string TrailMask::Sent(std::string_view line) {
  if (next_is_secret_) {
    next_is_secret_ = false;
    return std::string(kMask);
  }
  if (user_literal_pending_) {
    user_literal_pending_ = false;
    std::size_t n = user_literal_ < line.size() ? user_literal_ : line.size();
    std::string out(line.substr(0, n));
    std::string_view rest = line.substr(n);
    if (rest.empty()) return out;
    std::size_t lit = 0;
    if (EndsWithLiteral(rest, &lit) && rest.size() > 1 && rest[1] == '{') {
      next_is_secret_ = true;
      return out + std::string(rest);
    }
    return out + " " + std::string(kMask);
  }
  if (in_sasl_) return std::string(kMask);

  std::string_view rest;
  std::string_view first = Word(line, &rest);
  if (IEquals(first, "PASS")) return "PASS " + std::string(kMask);
  if (IEquals(first, "APOP")) {
    std::string_view digest;
    std::string_view user = Word(rest, &digest);
    return "APOP " + std::string(user) + " " + std::string(kMask);
  }
  std::string_view after_cmd;
  std::string_view cmd = first;
  std::string head;
  if (!IEquals(first, "AUTH")) {
    // IMAP: the tag comes first.
    cmd = Word(rest, &after_cmd);
    head = std::string(first) + " " + std::string(cmd) + " ";
  } else {
    after_cmd = rest;
    head = std::string(first) + " ";
  }
  if (IEquals(cmd, "AUTH") || IEquals(cmd, "AUTHENTICATE")) {
    in_sasl_ = true;
    std::string_view initial;
    std::string_view mech = Word(after_cmd, &initial);
    if (initial.empty()) return std::string(line);
    return head + std::string(mech) + " " + std::string(kMask);
  }
  if (IEquals(cmd, "LOGIN") && cmd.data() != first.data()) {
    return MaskLogin(head, after_cmd);
  }
  return std::string(line);
}

void TrailMask::Received(std::string_view line) {
  if (in_sasl_ && !(line.size() >= 1 && line.front() == '+' &&
                    (line.size() == 1 || line[1] == ' '))) {
    in_sasl_ = false;
  }
  // A literal continuation "+ ..." does not end a pending literal.
}

}  // namespace tessaly
