// RetrieveMessagesImap4: the IMAP4 side of RetrieveOperations.
#include <string>

#include "check/vocab.h"
#include "mail/operation_text.h"
#include "mail/retrieve_operations.h"

namespace tessaly {
namespace {

int Loc(Imap4Step step) { return static_cast<int>(step); }

}  // namespace

std::string RetrieveOperations::RetrieveMessagesImap4(const RetrieveArgs& args) {
  using internal::FailureText;
  StartRetrieval(args);
  bool deleted_any = false;
  if (imap4_.Connected()) (void)imap4_.Disconnect();

  Imap4Step step = Imap4Step::kConfig;
  if (Status s = internal::ConfigureAndConnect(imap4_, args, /*port_first=*/false, &step);
      !s.ok()) {
    return FailureText(vocab::kImap4Err, s, Loc(step));
  }

  imap4_.SetMailbox("\"" + args.mailbox + "\"");
  if (Status s = imap4_.SelectMailbox(); !s.ok()) {
    return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kSelect));
  }
  std::int32_t count = 0;
  if (Status s = imap4_.MessageCount(&count); !s.ok()) {
    return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kCount));
  }
  if (count <= 0) {
    if (Status s = imap4_.Disconnect(); !s.ok()) {
      return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kDisconnect));
    }
    return std::string(vocab::kImap4NoMessages);
  }
  if (Status s = imap4_.MessageCount(&count); !s.ok()) {
    return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kRecount));
  }

  // The header events of message i (which may mark it own, or in the
  // fetch-only mode prove arrival) run before decide(i, subject).
  state_.own_message = false;
  imap4_events_.NextMessage();
  const bool only_own = args.only_delete_own;
  const bool compare_subject = state_.operating_mode == vocab::kModeSmtpImap4;
  Status s = imap4_.FetchEach(count, [&](std::int32_t, std::string_view subject) {
    if (compare_subject) {
      if (subject == state_.subject_to_find) {
        state_.subject_ok = true;
      } else if (imap4_events_.subject_seen()) {
        state_.AddReceivedSubject(subject);
      }
    }
    const bool remove = !only_own || state_.own_message;
    if (remove) deleted_any = true;
    state_.own_message = false;
    if (args.delivery_fields && state_.subject_ok && !found_) imap4_.MarkControlMessage();
    NoteExamined(remove);
    imap4_events_.NextMessage();
    return remove;
  });
  if (!s.ok()) return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kFetch));
  if (found_) {
    for (const auto& [name, value] : imap4_.DeliveryFields()) control_.Add(name, value);
  }

  if (deleted_any) {
    if (s = imap4_.Expunge(); !s.ok()) {
      return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kExpunge));
    }
  }
  if (s = imap4_.Disconnect(); !s.ok()) {
    return FailureText(vocab::kImap4Err, s, Loc(Imap4Step::kDisconnect));
  }

  if (state_.subject_ok) return std::string(vocab::kRetrieveOk);
  const std::string_view list = internal::StripOneDash(state_.received_subjects);
  if (compare_subject) return internal::ListText(vocab::kImap4WrongSubject, list);
  return internal::ListText(vocab::kImap4NotOurs, list);
}

}  // namespace tessaly
