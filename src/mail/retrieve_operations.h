// The retrieval, verification and count operations over the POP3 and IMAP4
// components. Each returns one line of result text ("ERR..." on failure),
// traps its own failures and never throws. Runs on the caller's thread; not
// thread-safe (the components and the shared state are used in turn).
//
// A failing step ends the operation at once without disconnecting: marks
// made so far stay on the open connection, and the next operation on that
// component disconnects before it configures it. The location number in a
// failure text says which step failed (see Pop3Step and Imap4Step).
#ifndef TESSALY_MAIL_RETRIEVE_OPERATIONS_H_
#define TESSALY_MAIL_RETRIEVE_OPERATIONS_H_

#include <string>

#include "env/trace.h"
#include "mail/component_event_handler.h"
#include "mail/imap4_component.h"
#include "mail/mail_operations.h"
#include "mail/pop3_component.h"
#include "mail/retrieval_state.h"

namespace tessaly {

// Location numbers of the POP3 failure texts ("ERR POP3:" + description +
// " (" + number + ")"). CountMessages carries none in its text.
enum class Pop3Step {
  kConfig = 1,       // configuration text "UseIPv6=..."
  kSslMode = 2,      // SSL start mode
  kConnect = 3,      // connect, TLS, login
  kCount = 4,        // first message count
  kRecount = 5,      // message count read again when the loop starts
  kRetrieve = 6,     // retrieving headers and marking deletions
  kDisconnect = 7,   // QUIT, which commits the marks
};

// Location numbers of the IMAP4 failure texts ("ERR IMAP4:" + ...).
enum class Imap4Step {
  kConfig = 1,
  kSslMode = 2,
  kConnect = 3,
  kSelect = 4,       // selecting the quoted mailbox
  kCount = 5,
  kRecount = 6,
  kFetch = 7,        // fetching header fields and flagging \Deleted
  kExpunge = 8,
  kDisconnect = 9,
};

class RetrieveOperations {
 public:
  // Sets itself as the event receiver of both components, which must
  // outlive it; the destructor detaches it again.
  RetrieveOperations(Pop3Component& pop3, Imap4Component& imap4, TraceSink& trace);
  ~RetrieveOperations();
  RetrieveOperations(const RetrieveOperations&) = delete;
  RetrieveOperations& operator=(const RetrieveOperations&) = delete;

  // Logs in by POP3, examines the headers of every message in order, marks
  // deletions (every message, or with only_delete_own only the check's own),
  // disconnects to commit them. "OK" when the control mail was seen, else
  // "ERR POP3: no messages received", the wrong-subject text (mode
  // "TESSALY") or the not-sent-by-this-application text.
  std::string RetrieveMessages(const RetrieveArgs& args);

  // Logs in by POP3 and returns " N message(s) in this mailbox (user)";
  // with delete_all marks every message and commits on disconnect. The
  // count is the one found before the deletions. Failure:
  // "ERR COUNT POP3:" + description.
  std::string CountMessages(const CountArgs& args);

  // Logs in by IMAP4, selects args.mailbox, examines every message, flags
  // deletions as RetrieveMessages does and expunges once when something was
  // flagged. In mode "TESSIMO" the control mail is the message whose subject
  // equals args.subject; own messages carry X-Sender "TESSIMOCom" (with
  // no_x_sender: a subject containing "TESSIMO"). In any other mode a
  // message with X-Sender "TESSALYCom" or "TESSIMOCom" is the control mail
  // and the check's own.
  std::string RetrieveMessagesImap4(const RetrieveArgs& args);

  // The state the last retrieval left behind.
  const RetrievalState& state() const { return state_; }
  // What the last of the three operations did (see OperationReport).
  OperationReport report() const;

 private:
  void StartRetrieval(const RetrieveArgs& args);
  // Forgets the last operation's report; every operation starts with it.
  void StartReport();
  // Counts message `number` as examined and, when decide chose it, deleted;
  // the first message seen with subject_ok set is the control mail.
  void NoteExamined(bool deleted);

  Pop3Component& pop3_;
  Imap4Component& imap4_;
  TraceSink& trace_;
  RetrievalState state_;
  int examined_ = 0, deleted_ = 0;
  bool counted_ = false;  // examined_ and deleted_ mean something
  bool found_ = false;
  DeliveryFields control_;
  Pop3EventHandler pop3_events_;
  Imap4EventHandler imap4_events_;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_RETRIEVE_OPERATIONS_H_
