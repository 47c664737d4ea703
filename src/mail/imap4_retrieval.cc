// RetrieveMessagesImap4: the IMAP4 side of RetrieveOperations.
#include <string>
#include <vector>

#include "check/vocab.h"
#include "mail/operation_text.h"
#include "mail/retrieve_operations.h"

namespace tessaly {
namespace {

int Loc(Imap4Step step) { return static_cast<int>(step); }

// What the server is asked to find first: the messages that could prove
// the control mail's arrival and, where only the check's own messages are
// deleted, those that could be its own. The rules below still decide each
// of them. Empty where no search can narrow: an empty subject to find
// equals every message's missing subject.
std::vector<Imap4SearchKey> SearchKeys(const RetrieveArgs& args) {
  const std::string subject(vocab::kSubjectField), x_sender(vocab::kXSenderField);
  if (args.mode != vocab::kModeSmtpImap4) {
    return {{x_sender, std::string(vocab::kXSenderTessaly)},
            {x_sender, std::string(vocab::kXSenderTessimo)}};
  }
  if (args.subject.empty()) return {};
  std::vector<Imap4SearchKey> keys = {{subject, args.subject}};
  if (args.only_delete_own && args.no_x_sender) {
    keys.push_back({subject, std::string(vocab::kSubjectMarkTessimo)});
  } else if (args.only_delete_own) {
    keys.push_back({x_sender, std::string(vocab::kXSenderTessimo)});
  }
  return keys;
}

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
  imap4_.SetSearch(SearchKeys(args));
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
  const bool only_own = args.only_delete_own;
  const bool compare_subject = state_.operating_mode == vocab::kModeSmtpImap4;
  auto decide = [&](std::int32_t, std::string_view subject) {
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
  };

  // First only the messages the server's search found. Once they prove
  // the arrival, the other messages cannot change the outcome: none of
  // them is the control mail or, with only-delete, the check's own, and
  // with only-delete off every message is flagged without being fetched.
  // The fetch-only mode's texts list no subjects, so there the search's
  // answer is enough either way. Otherwise the wrong-subject list needs
  // every subject: every message is fetched and decided afresh, as if no
  // search had run, which also finds a control mail the search missed.
  state_.own_message = false;
  imap4_events_.NextMessage();
  bool found = false;
  Status s = imap4_.FetchFound(count, decide, &found);
  if (s.ok() && found && (state_.subject_ok || !compare_subject)) {
    if (!only_own) deleted_any = true;
    s = imap4_.DeleteFound(!only_own);
    // Every counted message was flagged, most without being examined.
    if (s.ok() && !only_own) deleted_ = count;
  } else if (s.ok()) {
    state_.ClearReceivedSubjects();
    deleted_any = false;
    examined_ = 0;
    deleted_ = 0;
    state_.own_message = false;
    imap4_events_.NextMessage();
    s = imap4_.FetchEach(count, decide);
  }
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
