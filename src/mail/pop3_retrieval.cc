// RetrieveMessages and CountMessages: the POP3 side of RetrieveOperations.
#include <string>

#include "check/vocab.h"
#include "mail/operation_text.h"
#include "mail/retrieve_operations.h"

namespace tessaly {
namespace {

using internal::FailureText;

int Loc(Pop3Step step) { return static_cast<int>(step); }

}  // namespace

std::string RetrieveOperations::RetrieveMessages(const RetrieveArgs& args) {
  StartRetrieval(args);
  // A connection left open by a failed operation is closed first; its
  // failure does not matter here.
  if (pop3_.Connected()) (void)pop3_.Disconnect();

  Pop3Step step = Pop3Step::kConfig;
  if (Status s = internal::ConfigureAndConnect(pop3_, args, /*port_first=*/false, &step);
      !s.ok()) {
    return FailureText(vocab::kPop3Err, s, Loc(step));
  }

  std::int32_t count = 0;
  if (Status s = pop3_.MessageCount(&count); !s.ok()) {
    return FailureText(vocab::kPop3Err, s, Loc(Pop3Step::kCount));
  }
  if (count < 1) {
    trace_.Line(vocab::kPop3NoMessages);
    if (Status s = pop3_.Disconnect(); !s.ok()) {
      return FailureText(vocab::kPop3Err, s, Loc(Pop3Step::kDisconnect));
    }
    return std::string(vocab::kPop3NoMessages);
  }

  if (Status s = pop3_.MessageCount(&count); !s.ok()) {
    return FailureText(vocab::kPop3Err, s, Loc(Pop3Step::kRecount));
  }
  // The header events of message i run before decide(i); own_message is
  // reset before each message so that it describes that message alone.
  state_.own_message = false;
  const bool only_own = args.only_delete_own;
  Status s = pop3_.RetrieveEach(count, [this, only_own](std::int32_t) {
    const bool remove = !only_own || state_.own_message;
    state_.own_message = false;
    NoteExamined(remove);
    return remove;
  });
  if (!s.ok()) return FailureText(vocab::kPop3Err, s, Loc(Pop3Step::kRetrieve));

  if (s = pop3_.Disconnect(); !s.ok()) {
    return FailureText(vocab::kPop3Err, s, Loc(Pop3Step::kDisconnect));
  }

  if (state_.subject_ok) return std::string(vocab::kRetrieveOk);
  const std::string_view list = internal::StripOneDash(state_.received_subjects);
  if (state_.operating_mode == vocab::kModeSmtpPop3) {
    return internal::ListText(vocab::kPop3WrongSubject, list);
  }
  trace_.Line(std::string(vocab::kTraceSubRec).append(list));
  return internal::ListText(vocab::kPop3NotOurs, list);
}

std::string RetrieveOperations::CountMessages(const CountArgs& args) {
  StartReport();
  state_.receive_debug = args.debug;
  if (pop3_.Connected()) (void)pop3_.Disconnect();

  auto failure = [](const Status& st) { return std::string(vocab::kCountErr) + st.message(); };
  Pop3Step step = Pop3Step::kConfig;
  if (Status s = internal::ConfigureAndConnect(pop3_, args, /*port_first=*/true, &step);
      !s.ok()) {
    return failure(s);
  }
  std::int32_t count = 0;
  if (Status s = pop3_.MessageCount(&count); !s.ok()) return failure(s);
  std::string result = " " + std::to_string(count);
  result.append(vocab::kCountText);
  result.append(args.user);
  result.append(")");

  if (args.delete_all) {
    std::int32_t again = 0;
    if (Status s = pop3_.MessageCount(&again); !s.ok()) return failure(s);
    if (again > 0) {
      if (Status s = pop3_.DeleteEach(again); !s.ok()) return failure(s);
      counted_ = true;
      deleted_ = again;
    }
  }
  if (Status s = pop3_.Disconnect(); !s.ok()) return failure(s);
  return result;
}

}  // namespace tessaly
