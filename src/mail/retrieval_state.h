// State that one retrieval shares with the component events it causes. It
// is set at the start of every retrieval and keeps its values after it until
// the next one. One instance lives with the mail operations of one check
// object and serves both the POP3 and the IMAP4 retrieval.
#ifndef TESSALY_MAIL_RETRIEVAL_STATE_H_
#define TESSALY_MAIL_RETRIEVAL_STATE_H_

#include <string>

namespace tessaly {

struct RetrievalState {
  std::string subject_to_find;
  bool subject_ok = false;    // stays true for the rest of the retrieval once set
  bool own_message = false;   // reset before each message; decides its deletion
  std::string operating_mode;
  bool no_x_sender = false;
  bool receive_debug = false;  // trace switch for the component events
  std::string received_subjects;  // each non-matching subject as "-" + subject
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_RETRIEVAL_STATE_H_
