// The platform side of a Connection: one socket and its TLS session. The
// connection keeps the buffer of received bytes, the line reader and the
// order of the steps; a transport only moves bytes, each step bounded by
// the operation's deadline, which the connection sets. Internal to
// src/mail: connection_posix.cc (sockets, OpenSSL) and connection_win.cc
// (Winsock, SChannel) each give one.
//
// A transport's failures are Status errors with code kErrorTransport; the
// connection closes itself (and so the transport) on every one of them.
#ifndef TESSALY_MAIL_TRANSPORT_H_
#define TESSALY_MAIL_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/status.h"
#include "mail/component_events.h"
#include "mail/resolve.h"

namespace tessaly {

// What a wait asks for and what it found, as bits.
enum WaitEvent : int {
  kReadable = 1,
  kWritable = 2,
  kFailed = 4,  // an error on the socket (a refused non-blocking connect);
                // every deadline-bound wait watches for it
};

Status TransportError(std::string message);

// Steady-clock milliseconds.
std::int64_t NowMs();

class Transport {
 public:
  virtual ~Transport() = default;

  // The deadline every later step ends by, in steady-clock milliseconds.
  void SetDeadline(std::int64_t deadline_ms) { deadline_ms_ = deadline_ms; }
  std::int64_t deadline_ms() const { return deadline_ms_; }
  // The seconds the time-out error names.
  void SetTimeoutSeconds(int seconds) { timeout_s_ = seconds; }
  // The lookup Resolve runs: the system resolver unless a test swaps it.
  void SetLookup(LookupFunction lookup) { lookup_ = std::move(lookup); }
  // The time-out error once the deadline has passed, else Ok.
  Status CheckDeadline() const;
  // The error a step gives that the deadline ended.
  Status TimeoutError() const;
  // Resolves host for stream sockets of the IPv6 or IPv4 family by the
  // deadline: the time-out error when the resolver has not answered by
  // then. Otherwise *code gets the resolver's code and, when it is 0,
  // *addresses what it found (possibly nothing); the caller words that.
  Status Resolve(const std::string& host, std::int32_t port, bool ipv6, int* code,
                 std::vector<ResolvedAddress>* addresses) const;
  // Waits until one of events (WaitEvent bits) holds on the socket, or
  // fails with the time-out error at the deadline; *found gets the bits.
  Status WaitFor(int events, int* found);

  // Resolves host (no brackets) for the IPv6 or IPv4 family and connects
  // by the deadline. send_buffer > 0 sets the kernel send buffer size.
  virtual Status Connect(const std::string& host, std::int32_t port, bool ipv6,
                         int send_buffer) = 0;
  // TLS handshake on the connected socket, by the deadline; the peer
  // certificate goes to events (nullptr refuses it). Application data that
  // came with the handshake is appended to *in.
  virtual Status StartTls(const std::string& host, ComponentEvents* events,
                          std::string* in) = 0;
  virtual bool IsOpen() const = 0;
  virtual bool IsTls() const = 0;
  // Drops socket and TLS session; safe to call twice.
  virtual void Close() = 0;
  // True when bytes the socket delivered already wait inside the TLS
  // session, so the peer has spoken without the socket showing it.
  virtual bool HasPending() const = 0;
  // Waits up to timeout_ms for events, ignoring the deadline: 1 with *found
  // set, 0 when the time ran out or the wait was interrupted, -1 with
  // *error set on failure.
  virtual int Poll(int events, std::int64_t timeout_ms, int* found, std::string* error) = 0;
  // One read attempt that does not wait for the socket: appends what
  // arrived to *in. Bytes added, 0 when nothing is there yet, <0 on failure
  // with *status set.
  virtual int ReadSome(std::string* in, Status* status) = 0;
  // One send attempt: bytes of data taken, 0 when the socket is full, <0
  // on failure with *status set.
  virtual int SendSome(std::string_view data, Status* status) = 0;
  // Appends to *in what the socket holds now, without waiting, until *in
  // reaches limit bytes. A close or a reset is left for the next read.
  virtual void TakeAvailable(std::string* in, std::size_t limit) = 0;

 private:
  std::int64_t deadline_ms_ = 0;
  int timeout_s_ = 0;
  LookupFunction lookup_ = SystemLookup;
};

// The platform's transport, not connected yet.
std::unique_ptr<Transport> NewTransport();

}  // namespace tessaly

#endif  // TESSALY_MAIL_TRANSPORT_H_
