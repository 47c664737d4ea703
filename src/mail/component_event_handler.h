// Handlers of the POP3 and IMAP4 component events during the retrieval and
// count operations. They write the trace lines the events call for and,
// while a message's headers arrive, decide from its header fields whether
// the control mail has arrived and whether the message is the check's own.
// All decisions land in the RetrievalState that the operations share.
#ifndef TESSALY_MAIL_COMPONENT_EVENT_HANDLER_H_
#define TESSALY_MAIL_COMPONENT_EVENT_HANDLER_H_

#include <string_view>

#include "env/trace.h"
#include "mail/component_events.h"
#include "mail/retrieval_state.h"

namespace tessaly {

// Compares a received subject with state.subject_to_find (case-sensitive
// substring test) and traces the comparison. On a match sets
// state.subject_ok; otherwise appends "-" + received to
// state.received_subjects. Traced whatever state.receive_debug says.
void VerifySubject(RetrievalState& state, TraceSink& trace, std::string_view received);

// POP3 events. Errors are always traced; protocol trail and SSL status only
// with state.receive_debug; every certificate is accepted, silently. Header
// fields follow the mode's rules: in mode "TESSALY" the Subject is traced
// and verified and marks the message own when X-Sender is not relied on
// (subject contains "TESSALY"); X-Sender is traced and marks it own when it
// is exactly "TESSALYCom" and X-Sender is relied on. In any other mode only
// an X-Sender of exactly "TESSALYCom" counts: it proves arrival and marks
// the message own, untraced.
class Pop3EventHandler : public ComponentEvents {
 public:
  Pop3EventHandler(RetrievalState& state, TraceSink& trace) : state_(state), trace_(trace) {}

  void OnError(int code, std::string_view description) override;
  void OnHeader(std::string_view field, std::string_view value) override;
  void OnTrail(TrailDirection direction, std::string_view text) override;
  void OnCertificate(std::string_view pem, bool* accept) override;
  void OnSslStatus(std::string_view text) override;

 private:
  RetrievalState& state_;
  TraceSink& trace_;
};

// IMAP4 events. Errors are not traced (the operation's failure text carries
// them); protocol trail and SSL status only with state.receive_debug; every
// certificate is accepted and "IMAP4 SSL authentication" is always traced.
// Header fields mark the message own, untraced: in mode "TESSIMO" an
// X-Sender of exactly "TESSIMOCom" when X-Sender is relied on, else a
// Subject containing "TESSIMO"; in any other mode an X-Sender of exactly
// "TESSALYCom" or "TESSIMOCom", which also proves arrival. The subject
// comparison of mode "TESSIMO" is the operation's (whole-text equality).
class Imap4EventHandler : public ComponentEvents {
 public:
  Imap4EventHandler(RetrievalState& state, TraceSink& trace) : state_(state), trace_(trace) {}

  void OnHeader(std::string_view field, std::string_view value) override;
  void OnTrail(TrailDirection direction, std::string_view text) override;
  void OnCertificate(std::string_view pem, bool* accept) override;
  void OnSslStatus(std::string_view text) override;

  // Whether the message now being fetched carried a Subject field; reset
  // with NextMessage before each message.
  bool subject_seen() const { return subject_seen_; }
  void NextMessage() { subject_seen_ = false; }

 private:
  RetrievalState& state_;
  TraceSink& trace_;
  bool subject_seen_ = false;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_COMPONENT_EVENT_HANDLER_H_
