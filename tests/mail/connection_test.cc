// The connection layer under the POP3 and IMAP4 clients, against the
// scripted server: automatic TLS on a port that is not the well-known one
// (TLS from the first byte when no greeting comes), one deadline for a whole
// operation however the server paces its bytes, and a peer that closes at
// each step of the dialogue, which must give an error text and never kill
// the process with SIGPIPE.
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mail/connection.h"
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/tls_start.h"
#include "support/child_process.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing::ScriptServer;
using testing::ServerScript;

constexpr int kTimeout = 2;  // seconds, for every case
const int kWaitMs = GreetingWaitMs(kTimeout);

enum class Proto { kPop3, kImap4 };

struct CertificateEvents : ComponentEvents {
  explicit CertificateEvents(bool accept) : accept_(accept) {}
  void OnCertificate(std::string_view, bool* accept) override { *accept = accept_; }
  bool accept_;
};

// What the clients do in one operation, each on one connection: connect and
// log in, count, fetch every message's header (deciding to delete none) and
// log out. `pause` waits between the count and the fetch. "ok", or the text
// of the first failure.
struct ClientRun {
  Proto proto = Proto::kPop3;
  int port = 0;
  int ssl_mode = 3;
  std::int32_t implicit_port = 0;  // 0: the client's default
  std::int32_t starttls_port = 0;  // 0: the client's default
  milliseconds pause{0};
  bool accept_certificate = true;
};

// The settings both clients take from a run.
template <typename Client>
void Configure(Client* c, ComponentEvents* events, const ClientRun& r) {
  c->SetEvents(events);
  c->SetMailServer("127.0.0.1");
  c->SetMailPort(r.port);
  c->SetUser("u");
  c->SetPassword("p");
  (void)c->SetSslStartMode(r.ssl_mode);
  c->SetTimeout(kTimeout);
}

std::string RunPop3(const ClientRun& r) {
  CertificateEvents events(r.accept_certificate);
  Pop3ClientOptions options;
  if (r.implicit_port != 0) options.implicit_tls_port = r.implicit_port;
  if (r.starttls_port != 0) options.starttls_port = r.starttls_port;
  auto c = NewPop3Client(options);
  Configure(c.get(), &events, r);
  Status s = c->Connect();
  std::int32_t count = 0;
  if (s.ok()) s = c->MessageCount(&count);
  if (s.ok()) std::this_thread::sleep_for(r.pause);
  if (s.ok()) s = c->RetrieveEach(count, [](std::int32_t) { return false; });
  if (s.ok()) s = c->Disconnect();
  return s.ok() ? "ok" : s.message();
}

std::string RunImap4(const ClientRun& r) {
  CertificateEvents events(r.accept_certificate);
  Imap4ClientOptions options;
  if (r.implicit_port != 0) options.implicit_tls_port = r.implicit_port;
  if (r.starttls_port != 0) options.starttls_port = r.starttls_port;
  auto c = NewImap4Client(options);
  Configure(c.get(), &events, r);
  Status s = c->Connect();
  c->SetMailbox("\"INBOX\"");
  if (s.ok()) s = c->SelectMailbox();
  std::int32_t count = 0;
  if (s.ok()) s = c->MessageCount(&count);
  if (s.ok()) std::this_thread::sleep_for(r.pause);
  if (s.ok()) s = c->FetchEach(count, [](std::int32_t, std::string_view) { return false; });
  if (s.ok()) s = c->Disconnect();
  return s.ok() ? "ok" : s.message();
}

std::string RunClient(const ClientRun& r) { return r.proto == Proto::kPop3 ? RunPop3(r) : RunImap4(r); }

// Dialogue pieces. POP3: greeting and CAPA with STLS; the login of "u"/"p".
ServerScript Pop3Greeting() {
  return ServerScript().Send("+OK ready").Expect("CAPA")
      .SendRaw("+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\nSTLS\r\n.\r\n");
}
ServerScript& Pop3Login(ServerScript& s) {
  return s.Expect("USER u").Send("+OK").Expect("PASS p").Send("+OK logged in");
}
// IMAP4: greeting with capabilities; LOGIN, and SELECT of INBOX.
ServerScript Imap4Greeting() {
  return ServerScript().Send("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready");
}
ServerScript& Imap4Login(ServerScript& s, int tag = 1) {
  const std::string a = "a" + std::to_string(tag), b = "a" + std::to_string(tag + 1);
  return s.Expect(a + " LOGIN").Send(a + " OK [CAPABILITY IMAP4rev1] logged in")
      .Expect(b + " SELECT").Send("* 1 EXISTS").Send(b + " OK [READ-WRITE] selected");
}

// ---- automatic TLS ---------------------------------------------------------

// On a port that is neither the implicit-TLS nor the STARTTLS one, a server
// that does not greet within the wait gets a TLS handshake on the same
// connection; a greeting in time keeps STARTTLS (the other client tests).
TEST(ConnectionTest, AutomaticTlsOnOtherPorts) {
  const std::string both = "no greeting within " + std::to_string(kWaitMs) +
                           " ms and no TLS from the first byte either: ";
  struct Case {
    const char* name;
    Proto proto;
    ServerScript script;
    bool starttls_port;  // the server's port is the protocol's STARTTLS port
    std::string want;    // ending in a blank: a prefix of the text
    bool accept_certificate = true;
  };
  auto pop3_tls_first = ServerScript().StartTls().Send("+OK ready").Expect("CAPA")
                            .SendRaw("+OK\r\nUSER\r\n.\r\n");
  Pop3Login(pop3_tls_first).Expect("STAT").Send("+OK 0 0").Expect("QUIT").Send("+OK");
  auto imap4_tls_first = ServerScript().StartTls().Send("* OK [CAPABILITY IMAP4rev1] ready");
  Imap4Login(imap4_tls_first).Expect("a3 UID FETCH").Send("* 1 FETCH (FLAGS ())")
      .Send("a3 OK done").Expect("a4 LOGOUT").Send("a4 OK");
  const Case cases[] = {
      {"pop3 TLS from the first byte", Proto::kPop3, pop3_tls_first, false, "ok"},
      {"imap4 TLS from the first byte", Proto::kImap4, imap4_tls_first, false, "ok"},
      {"pop3 silent", Proto::kPop3, ServerScript().StallForever(), false,
       both + "connection timed out after 2 s"},
      {"imap4 silent", Proto::kImap4, ServerScript().StallForever(), false,
       both + "connection timed out after 2 s"},
      // The greeting comes after the handshake began: both failed.
      {"pop3 late greeting", Proto::kPop3,
       ServerScript().Stall(milliseconds(kWaitMs + 300)).Send("+OK late").RecordUntilClose(),
       false, both + "TLS handshake failed: "},
      {"imap4 late greeting", Proto::kImap4,
       ServerScript().Stall(milliseconds(kWaitMs + 300)).Send("* OK late").RecordUntilClose(),
       false, both + "TLS handshake failed: "},
      // A refused certificate: the server did speak TLS, so only that.
      {"pop3 certificate refused", Proto::kPop3, ServerScript().StartTls().RecordUntilClose(),
       false, "server certificate not accepted", false},
      // The STARTTLS port is never probed: its servers greet in clear,
      // some late on purpose.
      {"pop3 silent STARTTLS port", Proto::kPop3, ServerScript().StallForever(), true,
       "connection timed out after 2 s"},
      {"imap4 silent STARTTLS port", Proto::kImap4, ServerScript().StallForever(), true,
       "connection timed out after 2 s"},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    ClientRun r{c.proto, server.port(), 0};
    if (c.starttls_port) r.starttls_port = server.port();
    r.accept_certificate = c.accept_certificate;
    const auto start = steady_clock::now();
    const std::string got = RunClient(r);
    const auto took = steady_clock::now() - start;
    if (c.want.back() == ' ') {
      EXPECT_EQ(got.rfind(c.want, 0), 0u) << c.name << ": " << got;
    } else {
      EXPECT_EQ(got, c.want) << c.name;
    }
    EXPECT_LT(took, seconds(kTimeout + 1)) << c.name;
  }
}

// ---- one deadline for the operation ---------------------------------------

// A server that is never silent long enough for a time-out of one read, yet
// never gets done: one byte every 300 ms, or whole lines 1.5 s apart, on
// every reading path. The operation ends at its time-out, from Connect on.
TEST(ConnectionTest, PacedServerEndsAtTheTimeout) {
  const milliseconds byte(300), line(1500);
  auto paced = [&](ServerScript& s, const std::vector<std::string>& lines) -> ServerScript& {
    for (const std::string& l : lines) s.Stall(line).Send(l);
    return s;
  };
  struct Case {
    const char* name;
    Proto proto;
    ServerScript script;
  };
  std::vector<Case> cases;
  // POP3: the greeting, a single line, CAPA and TOP (multi-line).
  cases.push_back({"pop3 greeting", Proto::kPop3,
                   ServerScript().Trickle("+OK a slow greeting from far away\r\n", byte)});
  {
    ServerScript s = ServerScript().Send("+OK ready").Expect("CAPA");
    cases.push_back({"pop3 CAPA", Proto::kPop3,
                     s.Trickle("+OK\r\nTOP\r\nUSER\r\nX1\r\nX2\r\nX3\r\nX4\r\nX5\r\n.\r\n", byte)});
  }
  {
    ServerScript s = Pop3Greeting();
    Pop3Login(s).Expect("STAT");
    cases.push_back({"pop3 STAT", Proto::kPop3, s.Trickle("+OK 1 100\r\n", byte)});
  }
  {
    ServerScript s = Pop3Greeting();
    Pop3Login(s).Expect("STAT").Send("+OK 1 100").Expect("TOP 1 0");
    std::string reply = "+OK\r\n";
    for (int i = 0; i < 12; ++i) reply += "X:1\r\n";
    cases.push_back({"pop3 TOP", Proto::kPop3, s.Trickle(reply + ".\r\n", byte)});
  }
  {
    ServerScript s = Pop3Greeting();
    Pop3Login(s).Expect("STAT").Send("+OK 1 100").Expect("TOP 1 0");
    cases.push_back({"pop3 TOP, lines apart", Proto::kPop3,
                     paced(s, {"+OK", "X: 1", "X: 2", "X: 3", "X: 4", "."})});
  }
  // IMAP4: the greeting, untagged lines, a literal.
  cases.push_back({"imap4 greeting", Proto::kImap4,
                   ServerScript().Trickle("* OK a slow greeting from far away\r\n", byte)});
  {
    ServerScript s = Imap4Greeting().Expect("a1 LOGIN").Send("a1 OK [CAPABILITY IMAP4rev1] in")
                         .Expect("a2 SELECT");
    cases.push_back({"imap4 SELECT", Proto::kImap4,
                     s.Trickle("* 1 EXISTS\r\n* OK a\r\n* OK b\r\n* OK c\r\n", byte)});
  }
  {
    ServerScript s = Imap4Greeting().Expect("a1 LOGIN").Send("a1 OK [CAPABILITY IMAP4rev1] in")
                         .Expect("a2 SELECT");
    cases.push_back({"imap4 SELECT, lines apart", Proto::kImap4,
                     paced(s, {"* 1 EXISTS", "* OK a", "* OK b", "* OK c", "* OK d"})});
  }
  {
    ServerScript s = Imap4Greeting();
    Imap4Login(s).Expect("a3 UID FETCH");
    std::string literal;
    for (int i = 0; i < 12; ++i) literal += "X:1\r\n";
    s.Send("* 1 FETCH (UID 7 BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {" +
           std::to_string(literal.size()) + "}");
    cases.push_back({"imap4 literal", Proto::kImap4, s.Trickle(literal, byte)});
  }
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    const auto start = steady_clock::now();
    const std::string got = RunClient(ClientRun{c.proto, server.port(), 3});
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(got, "connection timed out after 2 s") << c.name;
    EXPECT_LT(took, seconds(kTimeout + 1)) << c.name;
  }
}

// A server that claims 2147483647 messages and answers every TOP at once:
// the client never runs short of replies to read, and still stops at the
// operation's time-out with memory that does not grow with the claim.
TEST(ConnectionTest, ClaimedMessageCountEndsAtTheTimeout) {
  ServerScript script = Pop3Greeting();
  Pop3Login(script).Serve([](const std::string& line) -> std::string {
    if (line == "STAT") return "+OK 2147483647 0\r\n";
    if (line.rfind("TOP ", 0) == 0) return "+OK\r\nSubject: " + line.substr(4) + "\r\n\r\n.\r\n";
    return "+OK\r\n";
  });
  ScriptServer server(script);
  const auto start = steady_clock::now();
  const std::string got = RunPop3(ClientRun{Proto::kPop3, server.port(), 3});
  const auto took = steady_clock::now() - start;
  EXPECT_EQ(got, "connection timed out after 2 s");
  EXPECT_LT(took, seconds(kTimeout + 1));
}

// ---- a peer that closes: an error, never SIGPIPE ----------------------------

// The child side: with kChildEnv = "PROTO PORT SSL_MODE IMPLICIT_PORT", one
// operation with SIGPIPE at its default disposition; prints its result.
constexpr const char* kChildEnv = "TESSALY_CONNECTION_SIGPIPE_CHILD";

[[maybe_unused]] const int kSigpipeChild =
    testing::RunAsChildIf(kChildEnv, [](const std::string& arg) -> std::string {
      int proto = 0, port = 0, ssl_mode = 0, implicit = 0;
      if (std::sscanf(arg.c_str(), "%d %d %d %d", &proto, &port, &ssl_mode, &implicit) != 4) {
        return "bad child argument";
      }
      ClientRun r{proto == 0 ? Proto::kPop3 : Proto::kImap4, port, ssl_mode, implicit};
      // The server's close arrives before the client writes again.
      r.pause = milliseconds(200);
      return RunClient(r);
    });

TEST(ConnectionTest, PeerClosingAtEachStepIsAnErrorNotSigpipe) {
  const std::string garbage = testing::LongLine(100, '\x17');
  auto pop3_stls = [] { return Pop3Greeting().Expect("STLS").Send("+OK begin TLS"); };
  auto imap4_starttls = [] {
    return Imap4Greeting().Expect("a1 STARTTLS").Send("a1 OK begin TLS");
  };
  // After the login a count of messages whose TOP commands (about 64 KB)
  // go out in several writes, the server gone.
  auto pop3_to_count = [](ServerScript s) {
    return Pop3Login(s).Expect("STAT").Send("+OK 100000 0").Close();
  };
  struct Case {
    const char* name;
    Proto proto;
    ServerScript script;
    int ssl_mode;
    bool implicit;  // the server's port is the implicit-TLS port
  };
  const Case cases[] = {
      // A short pause, so the garbage reaches the handshake, not the check
      // that nothing follows the STLS reply.
      {"pop3 garbage after STLS", Proto::kPop3,
       pop3_stls().Stall(milliseconds(50)).SendRaw(garbage).Close(), 0, false},
      {"pop3 close mid-handshake", Proto::kPop3,
       pop3_stls().Stall(milliseconds(100)).Close(), 0, false},
      {"pop3 close mid-pipeline, plain", Proto::kPop3, pop3_to_count(Pop3Greeting()), 3, false},
      {"pop3 close mid-pipeline, after STLS", Proto::kPop3,
       pop3_to_count(pop3_stls().StartTls().Expect("CAPA")
                         .SendRaw("+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n")),
       0, false},
      {"pop3 close mid-pipeline, implicit TLS", Proto::kPop3,
       pop3_to_count(ServerScript().StartTls().Send("+OK ready").Expect("CAPA")
                         .SendRaw("+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n")),
       0, true},
      // Without the pause: the close often comes before the ClientHello,
      // which then meets a reset.
      {"imap4 garbage after STARTTLS", Proto::kImap4, imap4_starttls().SendRaw(garbage).Close(),
       0, false},
      {"imap4 garbage instead of TLS", Proto::kImap4, ServerScript().SendRaw(garbage).Close(), 0,
       true},
      {"imap4 close after login, TLS", Proto::kImap4,
       ServerScript().StartTls().Send("* OK [CAPABILITY IMAP4rev1] ready").Expect("a1 LOGIN")
           .Send("a1 OK [CAPABILITY IMAP4rev1] in").Close(),
       0, true},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script, "127.0.0.1", 4096);
    const std::string arg = std::to_string(c.proto == Proto::kPop3 ? 0 : 1) + " " +
                            std::to_string(server.port()) + " " + std::to_string(c.ssl_mode) +
                            " " + std::to_string(c.implicit ? server.port() : 0);
    const std::optional<std::string> text = testing::RunChild(kChildEnv, arg);
    EXPECT_TRUE(text.has_value()) << c.name << ": the client process died of a signal";
    if (!text.has_value()) continue;
    EXPECT_NE(*text, "ok") << c.name;
    EXPECT_FALSE(text->empty()) << c.name;
  }
}

// The resolver's failure reads as before the lookup had a deadline: the
// host, the family and the system's own text.
TEST(ConnectionTest, UnknownHostText) {
  for (const bool ipv6 : {false, true}) {
    Connection c;
    c.SetLookup([](const std::string&, const std::string&, AddressFamily,
                   std::vector<ResolvedAddress>*) { return EAI_NONAME; });
    Status s = c.Open("[nowhere.invalid]", 110, ipv6);
    EXPECT_EQ(s.message(), std::string("cannot resolve nowhere.invalid for ") +
                               (ipv6 ? "IPv6" : "IPv4") + ": " + ::gai_strerror(EAI_NONAME));
  }
}

}  // namespace
}  // namespace tessaly
