// An IMAP4 client component as the IMAP4 retrieval drives it: configured,
// connected, one mailbox selected, headers fetched, messages flagged
// \Deleted and expunged. One connection per component, kept open across
// calls until Disconnect or the next Connect. Destroying a connected
// component logs out without expunging: flags stay, nothing is removed.
//
// Abstract so that the operation is tested with fakes and the real client
// (NewImap4Client in imap4_client.h) against real servers.
#ifndef TESSALY_MAIL_IMAP4_COMPONENT_H_
#define TESSALY_MAIL_IMAP4_COMPONENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/sasl_oauth.h"

namespace tessaly {

// One criterion of the search that narrows a fetch: a message matches when
// its header field `field` ("Subject", "X-Sender") contains `value`. The
// server compares without regard to case and may decode the field first,
// so the messages it finds are a superset of those whose field equals or
// contains the value as written; the caller's own comparison decides.
struct Imap4SearchKey {
  std::string field;
  std::string value;
};

class Imap4Component {
 public:
  virtual ~Imap4Component() = default;

  // Where the events go; nullptr discards them. Not owned.
  virtual void SetEvents(ComponentEvents* events) = 0;

  virtual bool Connected() const = 0;

  // As for Pop3Component; automatic TLS means TLS from the first byte on
  // port 993, STARTTLS required on port 143, and elsewhere TLS from the
  // first byte when no greeting comes within the short wait, else STARTTLS.
  virtual Status SetConfig(std::string_view text) = 0;
  virtual void SetMailPort(std::int32_t port) = 0;
  virtual void SetMailServer(std::string_view host) = 0;
  virtual void SetUser(std::string_view user) = 0;
  virtual void SetPassword(std::string_view password) = 0;
  // The login: kPassword (the default) logs in with user and password; an
  // OAuth method logs in by SASL with user and the access token (the
  // password is not used). An unknown method is an error.
  virtual Status SetLogin(LoginMethod method, std::string_view token) = 0;
  virtual Status SetSslStartMode(int mode) = 0;
  virtual void SetTimeout(std::int16_t seconds) = 0;

  // Connects, negotiates TLS as the start mode says and logs in. Sends no
  // LOGIN when the server advertises LOGINDISABLED, and nothing at all for
  // a user name or password that cannot be sent (CR, LF, NUL).
  virtual Status Connect() = 0;

  // The mailbox as the caller gives it, enclosed in double quotes by the
  // caller; sent as an IMAP quoted string (a quote or backslash inside the
  // quotes is escaped, a name the quoting cannot carry goes as a literal).
  virtual void SetMailbox(std::string_view quoted_name) = 0;
  virtual Status SelectMailbox() = 0;
  // The number of messages in the selected mailbox (EXISTS).
  virtual Status MessageCount(std::int32_t* count) = 0;

  // One message at a time: the message set as decimal text, its header
  // fields (OnHeader for each), its subject, a \Deleted flag. The flag goes
  // by UID to the messages the last fetch of the same set examined; without
  // such a fetch DeleteFromMailbox fails and flags nothing.
  virtual Status SetMessageSet(std::string_view set) = 0;
  virtual Status FetchHeaders() = 0;
  virtual Status FetchMessageInfo() = 0;
  virtual std::string Subject() const = 0;
  virtual Status DeleteFromMailbox() = 0;

  // The same for messages 1..count in a number of round trips that does
  // not grow with count: one UID FETCH of the header fields, then one UID
  // STORE for the messages decided. For each message in order, OnHeader
  // fires for its Subject and X-Sender fields (when present), then
  // decide(number, subject) runs; true means flag it \Deleted. Decisions
  // hold by UID, so an EXPUNGE by another client meanwhile cannot move a
  // flag to another message. On failure returns the first error and flags
  // nothing.
  virtual Status FetchEach(
      std::int32_t count,
      const std::function<bool(std::int32_t, std::string_view)>& decide) = 0;

  // The search that the next SelectMailbox sends in the same round trip as
  // the SELECT: the messages matching any of keys. An empty list (the
  // start value) sends none. Kept for later selections until set again.
  virtual void SetSearch(std::vector<Imap4SearchKey> keys) = 0;

  // As FetchEach, but only for the messages among 1..count that the search
  // of the last SelectMailbox found, and without flagging: DeleteFound
  // flags what decide chose. Sets *found to false, sending and deciding
  // nothing, when there is no search answer to use (none set, a value the
  // client cannot send, a refused search, an answer it cannot read in
  // full, more candidates than a narrowed fetch is worth); the caller then
  // fetches every message with FetchEach. UIDs in the answer that are not
  // among the counted messages are never decided.
  virtual Status FetchFound(
      std::int32_t count,
      const std::function<bool(std::int32_t, std::string_view)>& decide, bool* found) = 0;
  // After a FetchFound that found: flags \Deleted the messages its decide
  // chose or, with every, every message the SELECT counted (less those
  // another client expunged), without fetching them. Fails and flags
  // nothing without such a FetchFound.
  virtual Status DeleteFound(bool every) = 0;
  // Called by decide during FetchEach: the message it is deciding on is the
  // control mail. FetchEach then also reads that message's Date and
  // Received fields (the request goes out together with the STORE, so it
  // costs no round trip of its own); DeliveryFields returns them after.
  // Only the first call per FetchEach counts.
  virtual void MarkControlMessage() {}
  // The Date and Received fields (name, value) of the message marked during
  // the last FetchEach, in order; empty when none was marked or the server
  // gave none. A refusal of that one fetch is not a failure of FetchEach.
  virtual std::vector<std::pair<std::string, std::string>> DeliveryFields() const { return {}; }

  // Removes the flagged messages of the selected mailbox. Where the server
  // offers UIDPLUS, only those this component flagged since the mailbox
  // was selected (UID EXPUNGE), so messages another client flagged stay;
  // elsewhere every flagged message (EXPUNGE).
  virtual Status Expunge() = 0;
  // Logs out and closes the connection, closed even when LOGOUT fails.
  virtual Status Disconnect() = 0;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_IMAP4_COMPONENT_H_
