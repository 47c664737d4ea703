#include "mail/component_event_handler.h"

#include <algorithm>
#include <string>

#include "check/vocab.h"

namespace tessaly {
namespace {

// Field names are compared after upper-casing (ASCII only), values exactly.
bool FieldIs(std::string_view field, std::string_view upper_name) {
  if (field.size() != upper_name.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper_name[i]) return false;
  }
  return true;
}

constexpr std::string_view kSubjectField = "SUBJECT";
constexpr std::string_view kXSenderFieldUpper = "X-SENDER";

std::string Join(std::string_view a, std::string_view b) {
  std::string s(a);
  s.append(b);
  return s;
}

std::string TrailLine(TrailDirection direction, std::string_view protocol,
                      std::string_view text) {
  std::string s(direction == TrailDirection::kSent ? vocab::kTraceArrowOut
                                                   : vocab::kTraceArrowIn);
  s.append(protocol);
  s.append(text);
  return s;
}

// The first word of a login command the client sent ("USER", "LOGIN",
// "AUTH XOAUTH2"), without what follows it: only the mechanism, never a
// credential. tagged: IMAP4 lines begin with a tag.
void NoteLogin(RetrievalState& state, std::string_view line, bool tagged) {
  if (tagged) {
    const std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos) return;
    line.remove_prefix(sp + 1);
  }
  auto word = [](std::string_view s) { return s.substr(0, s.find(' ')); };
  const std::string_view command = word(line);
  std::string upper(command);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper == "USER" || upper == "LOGIN" || upper == "APOP") {
    state.mechanism = upper;
  } else if (upper == "AUTH" || upper == "AUTHENTICATE") {
    const std::string_view rest = line.substr(std::min(line.size(), command.size() + 1));
    state.mechanism = rest.empty() ? upper : upper + " " + std::string(word(rest));
  }
}

// "TLSv1.3, cipher ..." -> "TLSv1.3".
void NoteTls(RetrievalState& state, std::string_view status) {
  state.tls = std::string(status.substr(0, status.find(',')));
}

}  // namespace

void VerifySubject(RetrievalState& state, TraceSink& trace, std::string_view received) {
  trace.Line(Join(vocab::kTraceSubjectToFind, state.subject_to_find));
  trace.Line(Join(vocab::kTraceSubjectReceived, received));
  if (received.find(state.subject_to_find) != std::string_view::npos) {
    trace.Line(vocab::kTraceSubjectOk);
    state.subject_ok = true;
    return;
  }
  state.AddReceivedSubject(received);
  trace.Line(Join(Join(vocab::kTraceSubjectNotOk, received), ")"));
}

// ---- POP3 -------------------------------------------------------------------

void Pop3EventHandler::OnError(int code, std::string_view description) {
  trace_.Line(Join(Join(Join(vocab::kTracePop3Error, std::to_string(code)), " "), description));
}

void Pop3EventHandler::OnHeader(std::string_view field, std::string_view value) {
  state_.reading.Add(field, value);
  if (state_.operating_mode == vocab::kModeSmtpPop3) {
    if (FieldIs(field, kSubjectField)) {
      trace_.Line(Join(vocab::kTracePop3Subject, value));
      VerifySubject(state_, trace_, value);
      if (state_.no_x_sender && value.find(vocab::kSubjectMarkTessaly) != std::string_view::npos) {
        state_.own_message = true;
      }
    } else if (FieldIs(field, kXSenderFieldUpper)) {
      trace_.Line(Join(vocab::kTracePop3XSender, value));
      if (!state_.no_x_sender && value == vocab::kXSenderTessaly) state_.own_message = true;
    }
    return;
  }
  if (FieldIs(field, kXSenderFieldUpper) && value == vocab::kXSenderTessaly) {
    state_.subject_ok = true;
    state_.own_message = true;
  }
}

void Pop3EventHandler::OnTrail(TrailDirection direction, std::string_view text) {
  if (direction == TrailDirection::kSent) NoteLogin(state_, text, false);
  if (state_.receive_debug) trace_.Line(TrailLine(direction, vocab::kTracePop3Trail, text));
}

void Pop3EventHandler::OnCertificate(std::string_view /*pem*/, bool* accept) {
  if (accept != nullptr) *accept = true;
}

void Pop3EventHandler::OnSslStatus(std::string_view text) {
  NoteTls(state_, text);
  if (state_.receive_debug) trace_.Line(Join(vocab::kTracePop3SslStatus, text));
}

// ---- IMAP4 ------------------------------------------------------------------

void Imap4EventHandler::OnHeader(std::string_view field, std::string_view value) {
  const bool subject = FieldIs(field, kSubjectField);
  const bool x_sender = FieldIs(field, kXSenderFieldUpper);
  if (subject) subject_seen_ = true;
  if (state_.operating_mode == vocab::kModeSmtpImap4) {
    if (subject && state_.no_x_sender &&
        value.find(vocab::kSubjectMarkTessimo) != std::string_view::npos) {
      state_.own_message = true;
    } else if (x_sender && !state_.no_x_sender && value == vocab::kXSenderTessimo) {
      state_.own_message = true;
    }
    return;
  }
  if (x_sender && (value == vocab::kXSenderTessaly || value == vocab::kXSenderTessimo)) {
    state_.subject_ok = true;
    state_.own_message = true;
  }
}

void Imap4EventHandler::OnTrail(TrailDirection direction, std::string_view text) {
  if (direction == TrailDirection::kSent) NoteLogin(state_, text, true);
  if (state_.receive_debug) trace_.Line(TrailLine(direction, vocab::kTraceImap4Trail, text));
}

void Imap4EventHandler::OnCertificate(std::string_view /*pem*/, bool* accept) {
  trace_.Line(vocab::kTraceImap4Certificate);
  if (accept != nullptr) *accept = true;
}

void Imap4EventHandler::OnSslStatus(std::string_view text) {
  NoteTls(state_, text);
  if (state_.receive_debug) trace_.Line(Join(vocab::kTraceImap4SslStatus, text));
}

}  // namespace tessaly
