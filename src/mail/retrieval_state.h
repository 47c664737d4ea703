// State that one retrieval shares with the component events it causes. It
// is set at the start of every retrieval and keeps its values after it until
// the next one. One instance lives with the mail operations of one check
// object and serves both the POP3 and the IMAP4 retrieval.
#ifndef TESSALY_MAIL_RETRIEVAL_STATE_H_
#define TESSALY_MAIL_RETRIEVAL_STATE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "check/vocab.h"

namespace tessaly {

// The most bytes of subjects (with their dashes) that the wrong-subject list
// of a result text holds. A mailbox full of long subjects would otherwise
// make a result text of many megabytes.
inline constexpr std::size_t kMaxReceivedSubjectsBytes = 2048;

// The fields of one message that date its delivery: Date, and the first
// (most recent) of its Received fields with their count. Field names are
// matched in any case.
struct DeliveryFields {
  std::string date;
  std::string top_received;
  int received = 0;

  void Add(std::string_view field, std::string_view value) {
    auto is = [&](std::string_view name) {
      if (field.size() != name.size()) return false;
      for (std::size_t i = 0; i < name.size(); ++i) {
        char c = field[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
      }
      return true;
    };
    if (is("DATE") && date.empty()) {
      date = value;
    } else if (is("RECEIVED")) {
      if (received++ == 0) top_received = value;
    }
  }
};

struct RetrievalState {
  std::string subject_to_find;
  bool subject_ok = false;    // stays true for the rest of the retrieval once set
  bool own_message = false;   // reset before each message; decides its deletion
  std::string operating_mode;
  bool no_x_sender = false;
  bool receive_debug = false;  // trace switch for the component events
  std::string received_subjects;  // each non-matching subject as "-" + subject
  bool received_subjects_cut = false;  // vocab::kCutMark ends received_subjects
  // What the operation's report tells besides its result text.
  std::string tls;        // protocol of the TLS connection ("TLSv1.3")
  std::string mechanism;  // the login command sent ("USER", "LOGIN", "AUTH XOAUTH2")
  DeliveryFields reading;  // POP3: the message whose header is arriving

  // Appends "-" + subject to received_subjects while the list stays within
  // kMaxReceivedSubjectsBytes, the list's exact text below that. What does
  // not fit is cut (never inside a UTF-8 sequence) and vocab::kCutMark is
  // appended, once; later subjects are dropped.
  void AddReceivedSubject(std::string_view subject) {
    if (received_subjects_cut) return;
    const std::size_t room = kMaxReceivedSubjectsBytes - received_subjects.size();
    if (subject.size() < room) {
      received_subjects.push_back('-');
      received_subjects.append(subject);
      return;
    }
    if (room > 0) {
      received_subjects.push_back('-');
      std::size_t keep = room - 1;
      while (keep > 0 && (static_cast<unsigned char>(subject[keep]) & 0xC0) == 0x80) --keep;
      received_subjects.append(subject.substr(0, keep));
    }
    received_subjects.append(vocab::kCutMark);
    received_subjects_cut = true;
  }
  void ClearReceivedSubjects() {
    received_subjects.clear();
    received_subjects_cut = false;
  }
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_RETRIEVAL_STATE_H_
