#include "mail/retrieve_operations.h"

namespace tessaly {

RetrieveOperations::RetrieveOperations(Pop3Component& pop3, Imap4Component& imap4,
                                       TraceSink& trace)
    : pop3_(pop3),
      imap4_(imap4),
      trace_(trace),
      pop3_events_(state_, trace),
      imap4_events_(state_, trace) {
  pop3_.SetEvents(&pop3_events_);
  imap4_.SetEvents(&imap4_events_);
}

RetrieveOperations::~RetrieveOperations() {
  pop3_.SetEvents(nullptr);
  imap4_.SetEvents(nullptr);
}

void RetrieveOperations::StartReport() {
  state_.tls.clear();
  state_.mechanism.clear();
  state_.reading = DeliveryFields{};
  examined_ = 0;
  deleted_ = 0;
  counted_ = false;
  found_ = false;
  control_ = DeliveryFields{};
}

void RetrieveOperations::NoteExamined(bool deleted) {
  counted_ = true;
  ++examined_;
  if (deleted) ++deleted_;
  if (state_.subject_ok && !found_) {
    found_ = true;
    control_ = state_.reading;
  }
  state_.reading = DeliveryFields{};
}

OperationReport RetrieveOperations::report() const {
  OperationReport r;
  r.tls = state_.tls;
  r.mechanism = state_.mechanism;
  if (counted_) {
    r.examined = examined_;
    r.deleted = deleted_;
  }
  r.found = found_;
  if (found_) {
    r.date = control_.date;
    r.top_received = control_.top_received;
    r.received_fields = control_.received;
  }
  return r;
}

void RetrieveOperations::StartRetrieval(const RetrieveArgs& args) {
  StartReport();
  state_.receive_debug = args.debug;
  state_.subject_ok = false;
  state_.own_message = false;
  state_.subject_to_find = args.subject;
  state_.operating_mode = args.mode;
  state_.no_x_sender = args.no_x_sender;
  state_.ClearReceivedSubjects();
}

}  // namespace tessaly
