// A POP3 client component as the retrieval and count operations drive it:
// configured completely, then connected, then asked for the message count,
// the headers of each message and deletions. One connection per component,
// kept open across calls until Disconnect or the next Connect; deletion
// marks take effect only when Disconnect logs out with QUIT. Destroying a
// connected component drops the connection without QUIT, so marks made by a
// failed operation are rolled back by the server, never committed.
//
// Abstract so that the operations are tested with fakes and the real client
// (NewPop3Client in pop3_client.h) against real servers.
#ifndef TESSALY_MAIL_POP3_COMPONENT_H_
#define TESSALY_MAIL_POP3_COMPONENT_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/sasl_oauth.h"

namespace tessaly {

class Pop3Component {
 public:
  virtual ~Pop3Component() = default;

  // Where the events go; nullptr discards them. Not owned.
  virtual void SetEvents(ComponentEvents* events) = 0;

  virtual bool Connected() const = 0;

  // "UseIPv6=True" connects over IPv6, "UseIPv6=False" over IPv4; any other
  // text is an error and changes nothing.
  virtual Status SetConfig(std::string_view text) = 0;
  virtual void SetMailPort(std::int32_t port) = 0;
  virtual void SetMailServer(std::string_view host) = 0;
  virtual void SetUser(std::string_view user) = 0;
  virtual void SetPassword(std::string_view password) = 0;
  // The login: kPassword (the default) logs in with user and password; an
  // OAuth method logs in by SASL with user and the access token (the
  // password is not used). An unknown method is an error.
  virtual Status SetLogin(LoginMethod method, std::string_view token) = 0;
  // 0: automatic: TLS from the first byte on port 995; STLS required on
  // port 110; on any other port TLS from the first byte when the server
  // sends no greeting within a short wait (GreetingWaitMs of the time-out),
  // else STLS required. 3: plain. Any other mode is an error.
  virtual Status SetSslStartMode(int mode) = 0;
  // Bounds one operation on a connection as a whole: from Connect on, every
  // network step (connect, TLS, each command and reply, the logout) ends by
  // Connect's start plus this many seconds, however the server paces its
  // bytes. 0 or below selects the default bound, never an unbounded wait.
  virtual void SetTimeout(std::int16_t seconds) = 0;

  // Connects, negotiates TLS as the start mode says and logs in.
  virtual Status Connect() = 0;
  // The number of messages in the maildrop (STAT).
  virtual Status MessageCount(std::int32_t* count) = 0;

  // One message at a time: select it, fetch its header (OnHeader fires for
  // each field before Retrieve returns), mark it deleted.
  virtual Status SetMessageNumber(std::int32_t number) = 0;
  virtual Status Retrieve() = 0;
  virtual Status Delete() = 0;

  // The same for messages 1..count in a number of round trips that does
  // not grow with count (pipelined when the server offers PIPELINING). For
  // each message in order, OnHeader fires for every header field, then
  // decide(number) runs; when it returns true the message is marked
  // deleted. decide never runs for a message whose header did not arrive
  // complete. On failure returns the first error; messages for which decide
  // returned true may or may not carry a mark, no other message does.
  virtual Status RetrieveEach(std::int32_t count,
                              const std::function<bool(std::int32_t)>& decide) = 0;
  // Marks messages 1..count deleted, in a number of round trips that does
  // not grow with count.
  virtual Status DeleteEach(std::int32_t count) = 0;

  // Logs out (QUIT commits the marks) and closes the connection. The
  // connection is closed even when QUIT fails. Once a deletion was marked,
  // QUIT goes out only after STAT alone answered with the count of the
  // messages not marked: a dialogue whose replies are out of step drops the
  // connection without QUIT, so the server rolls every mark back.
  virtual Status Disconnect() = 0;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_POP3_COMPONENT_H_
