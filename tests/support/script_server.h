// A scripted TCP server on loopback for tests: each accepted connection
// runs one script of steps (send, expect, stall, drop, close, start TLS) on
// the server's own thread, and every line the client sends is recorded.
// It shows client behaviour that real servers do not produce on demand: a
// greeting that never comes, a stall mid-command, a connection dropped
// mid-reply, 4xx/5xx and malformed replies, very long lines.
//
// It never hangs a test: every wait also ends when the server is
// destroyed, and the destructor closes every socket and joins the thread.
#ifndef TESSALY_TESTS_SUPPORT_SCRIPT_SERVER_H_
#define TESSALY_TESTS_SUPPORT_SCRIPT_SERVER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessaly::testing {

// The steps for one connection, built fluently:
//   ServerScript().Send("220 hi").Expect("EHLO").Send("250 ok").Close()
// When the steps run out the server closes the connection in order.
class ServerScript {
 public:
  enum class Op { kSend, kTrickle, kExpect, kExpectUntil, kRecordUntilClose, kStall,
                  kStallForever, kDrop, kClose, kStartTls, kServe };
  // What a serving step sends back for one line the client sent.
  using Responder = std::function<std::string(const std::string& line)>;
  struct Step {
    Op op;
    std::string text;  // bytes to send, expected prefix, or terminator line
    std::chrono::milliseconds duration{0};
    Responder responder = nullptr;
  };

  // Sends `line` followed by CRLF.
  ServerScript& Send(const std::string& line);
  // Sends `bytes` exactly as given (no line end added).
  ServerScript& SendRaw(const std::string& bytes);
  // Sends `bytes` as given one byte at a time, `every` before each byte: a
  // server that is never silent for long yet never gets anywhere.
  ServerScript& Trickle(const std::string& bytes, std::chrono::milliseconds every);
  // Reads one line (LF-terminated; CRLF or LF stripped) and records it.
  // When `prefix` is not empty and the line does not start with it
  // (ASCII case-insensitive), an error is recorded; the script goes on.
  ServerScript& Expect(const std::string& prefix = "");
  // Reads and records lines up to and including one equal to `terminator`
  // (for instance "." after DATA).
  ServerScript& ExpectUntil(const std::string& terminator);
  // Records lines until the client closes (or the server is destroyed).
  ServerScript& RecordUntilClose();
  // Sends nothing and reads nothing for `d` (ends early on destruction).
  ServerScript& Stall(std::chrono::milliseconds d);
  // Stalls until the server is destroyed.
  ServerScript& StallForever();
  // Aborts the connection (RST, SO_LINGER 0): a drop mid-reply when it
  // follows a partial SendRaw.
  ServerScript& Drop();
  // Closes the connection in order now (TLS close_notify first).
  ServerScript& Close();
  // Records every line the client sends and sends back what `responder`
  // returns for it (bytes as given, nothing when empty), until the client
  // closes; a stateful fake server in a few lines of test code. With an
  // idle time above 0 the server closes once the client has sent nothing
  // for that long (a client waiting for a reply that never comes then
  // fails at once instead of at its time-out). The responder runs on the
  // server's thread; read what it keeps after WaitDone or destruction.
  ServerScript& Serve(Responder responder,
                      std::chrono::milliseconds idle = std::chrono::milliseconds(0));
  // Runs the server side of a TLS handshake with a self-signed certificate
  // (as the first step: implicit TLS; after a STARTTLS reply: STARTTLS).
  ServerScript& StartTls();

  const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

class ScriptServer {
 public:
  // Listens on `host` ("127.0.0.1" or "::1") at an ephemeral port and
  // serves the scripts to the accepted connections in order, one at a
  // time; connections beyond the last script are closed at once. If the
  // socket cannot be set up, port() is 0 and Errors() says why.
  // A receive_buffer above 0 shrinks the kernel's receive buffer of the
  // accepted sockets to about that many bytes, so that a client writing
  // ahead fills its socket quickly.
  explicit ScriptServer(std::vector<ServerScript> scripts,
                        const std::string& host = "127.0.0.1", int receive_buffer = 0);
  explicit ScriptServer(ServerScript script, const std::string& host = "127.0.0.1",
                        int receive_buffer = 0);
  // Ends every wait and stall, closes every socket, joins the thread.
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  // host:port, with brackets for IPv6: "[::1]:41234".
  std::string HostPort() const;

  // Every line the client sent, over all connections, in order.
  std::vector<std::string> Transcript() const;
  // The lines of the n-th accepted connection (0-based); empty if none.
  std::vector<std::string> Transcript(size_t connection) const;
  // Expectation mismatches, unexpected closes, TLS and socket failures.
  std::vector<std::string> Errors() const;
  // How many connections were accepted so far.
  size_t connections() const;
  // Waits until every script has run to its end; false on time-out.
  bool WaitDone(std::chrono::milliseconds timeout) const;

 private:
  class Connection;
  void Serve();
  void RunScript(size_t index, int fd);
  void Record(size_t connection, std::string line);
  void Fail(std::string error);

  std::vector<ServerScript> scripts_;
  std::string host_;
  int port_ = 0;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};  // written by the destructor to end waits
  std::thread thread_;

  mutable std::mutex mu_;
  mutable std::condition_variable done_cv_;
  bool done_ = false;
  std::vector<std::vector<std::string>> transcripts_;
  std::vector<std::string> errors_;
};

// What one scripted run of a client call gave.
struct ScriptRun {
  std::string result;                     // what the call returned
  std::chrono::steady_clock::duration took{};  // how long the call ran
  bool done = false;                      // the script ran to its end
  std::vector<std::string> transcript;    // every line the client sent
  std::vector<std::string> errors;        // the server's Errors()
};
// Serves `script` on 127.0.0.1, runs call(port) and times it, then waits
// up to 5 s for the script to end (for a script that records until the
// client closes: until everything call created is gone).
ScriptRun RunScript(ServerScript script, const std::function<std::string(int port)>& call);

// `n` bytes of `fill` (for 1 MB lines: LongLine(1 << 20)).
std::string LongLine(size_t n, char fill = 'x');
// Every byte from 0x80 to 0xFF once, in order.
std::string EightBitBytes();

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_SCRIPT_SERVER_H_
