// One client connection to a mail server: TCP, TLS (from the first byte or
// after STARTTLS), and a buffered reader for CRLF lines and exact-length
// literals. Not thread-safe; one owner.
//
// The contract every platform's implementation keeps:
// - One deadline per operation. Open() starts it: the time-out from
//   SetTimeout after Open's start. Every later step on this connection
//   (name lookup, connect, handshake, each read and write) ends by it,
//   however the server paces its bytes: a byte that arrives never extends
//   it. Past it a step fails with "connection timed out after N s" and
//   closes the connection.
// - Failures are Status errors with code kErrorTransport, one line of text
//   ("connection closed by server", "TLS handshake failed: ...", ...), and
//   close the connection.
// - No write raises SIGPIPE, plain or TLS (handshake, data, alerts): a
//   write to a peer that has gone is an error, and the process's signal
//   handling is left alone (a host that loads the library keeps its own).
// - Memory stays flat whatever the server sends: lines are cut at kMaxLine.
#ifndef TESSALY_MAIL_CONNECTION_H_
#define TESSALY_MAIL_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/resolve.h"

namespace tessaly {

class Transport;

// Codes the client components pass to OnError and in Status::code().
enum ComponentErrorCode : int {
  kErrorConfig = 1,     // a setting the component cannot use
  kErrorTransport = 2,  // connect, TLS, time-out, connection lost
  kErrorServer = 3,     // the server refused (-ERR, NO, BAD)
  kErrorProtocol = 4,   // a reply the client cannot read
  kErrorState = 5,      // a call out of order (not connected, no mailbox)
};

// The server's reply line as an error description: one line, at most
// kMaxReplyText bytes, control bytes replaced by blanks.
inline constexpr std::size_t kMaxReplyText = 300;
std::string ReplyText(std::string_view line);

// StartTls's error when the caller refused the server's certificate: the
// server does speak TLS.
inline constexpr std::string_view kCertificateRefused = "server certificate not accepted";

// Reads the component configuration text: "UseIPv6=True" or
// "UseIPv6=False" (exact spelling). False for any other text.
bool ParseIpv6Config(std::string_view text, bool* ipv6);

class Connection {
 public:
  // Lines longer than this are cut: the rest of the line is read and
  // dropped, so memory stays flat whatever the server sends.
  static constexpr std::size_t kMaxLine = 64 * 1024;
  // The bound used when the caller gives 0 or less.
  static constexpr int kDefaultTimeoutSeconds = 30;

  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Certificate and SSL-status events go here; nullptr discards them
  // (and then every certificate is refused). Not owned.
  void SetEvents(ComponentEvents* events) { events_ = events; }
  // Seconds one operation may take, counted from the next Open(); 0 or
  // below selects the default.
  void SetTimeout(int seconds);
  int timeout_seconds() const { return timeout_s_; }
  // Kernel send buffer size for the next Open(); 0 keeps the system's
  // default (which grows as needed).
  void SetSendBuffer(int bytes) { send_buffer_ = bytes; }
  // The name lookup Open() runs: the system resolver unless a test swaps in
  // one of its own (a resolver that stalls, one that fails).
  void SetLookup(LookupFunction lookup);

  // Closes any earlier connection, starts the operation's deadline, resolves
  // host for the IPv6 or IPv4 family and connects, both by the deadline (a
  // resolver that does not answer in time gives the time-out error).
  Status Open(std::string_view host, std::int32_t port, bool ipv6);
  // Waits up to wait_ms, never past the deadline, for the server to send
  // something, to close or to reset; reads nothing. *spoke tells whether it
  // did (false when the wait or the deadline ran out). Tells a server that
  // greets from one that waits for a TLS ClientHello.
  Status WaitForServer(int wait_ms, bool* spoke);
  // TLS handshake on the open socket, by the deadline. Bytes received but
  // not read yet are dropped. The peer certificate goes to OnCertificate;
  // the handshake is aborted unless the caller accepts it. OnSslStatus
  // reports protocol and cipher on success.
  Status StartTls(std::string_view host);
  bool IsOpen() const;
  bool IsTls() const;
  // Drops the connection (no protocol goodbye). Safe to call twice.
  void Close();

  // Sends all of data. While the socket cannot take more, incoming data
  // is read into the buffer, so a pipelined dialogue never deadlocks.
  Status Write(std::string_view data);
  // Sends as much of data as the socket takes now, without waiting, and
  // sets *written to that many bytes (0 when the socket is full). A caller
  // that pipelines reads its replies while the rest waits, so incoming data
  // never piles up in memory.
  Status WriteSome(std::string_view data, std::size_t* written);
  // Reads one line without its CRLF (a bare LF also ends a line). Sets
  // *truncated when the line was longer than kMaxLine and was cut.
  Status ReadLine(std::string* line, bool* truncated = nullptr);
  // As ReadLine, but never consumes more than *remaining bytes (the line
  // end included) and counts down *remaining: reads a literal line by line.
  Status ReadLineWithin(std::size_t* remaining, std::string* line,
                        bool* truncated = nullptr);
  // Takes every byte received but not read yet, without waiting: what is
  // buffered and what the socket holds now (up to about kMaxLine). A
  // dialogue that has read every reply it is owed finds nothing here; bytes
  // here are a reply that answers no command. A close by the peer is left
  // for the next read to report.
  Status TakeUnread(std::string* bytes);

 private:
  Status Fail(std::string message);
  // Closes the connection when s is a failure; returns s.
  Status Closing(Status s);
  // Reads what is available into in_ (waiting until the deadline).
  Status Fill();
  // One read attempt into in_ that closes on failure: as Transport::ReadSome.
  int ReadSome(Status* status);

  ComponentEvents* events_ = nullptr;
  std::unique_ptr<Transport> transport_;  // the platform's socket and TLS
  int timeout_s_ = kDefaultTimeoutSeconds;
  int send_buffer_ = 0;
  std::string in_;
  std::size_t in_pos_ = 0;
};

}  // namespace tessaly

#endif  // TESSALY_MAIL_CONNECTION_H_
