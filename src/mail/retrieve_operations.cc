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

void RetrieveOperations::StartRetrieval(const RetrieveArgs& args) {
  state_.receive_debug = args.debug;
  state_.subject_ok = false;
  state_.own_message = false;
  state_.subject_to_find = args.subject;
  state_.operating_mode = args.mode;
  state_.no_x_sender = args.no_x_sender;
  state_.ClearReceivedSubjects();
}

}  // namespace tessaly
