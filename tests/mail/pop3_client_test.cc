// The POP3 client against the scripted server on loopback: the exact
// commands it sends (pipelined and not, with and without TOP, TOP refused
// -> RETR), and the faults a real server does not produce on demand (no
// greeting, a stall or a drop mid-retrieve, a malformed STAT, a 1 MB header
// line, 8-bit header bytes), both for the client alone and for the
// retrieval and count operations over it. A failed operation must end
// within the time-out plus one second with its exact text, and never
// commit a deletion (no QUIT after a DELE).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "check/check_run.h"
#include "check/variant.h"
#include "env/base64.h"
#include "env/clock.h"
#include "env/trace.h"
#include "mail/imap4_client.h"
#include "mail/mail_form.h"
#include "mail/pop3_client.h"
#include "mail/retrieve_operations.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing::EightBitBytes;
using testing::LongLine;
using testing::ScriptServer;
using testing::ServerScript;
using Lines = std::vector<std::string>;

constexpr std::int16_t kTimeout = 2;  // seconds, for every fault case

// The CAPA reply: "+OK", the capabilities asked for, ".".
std::string Caps(bool top, bool pipelining) {
  return std::string("+OK\r\n") + (top ? "TOP\r\n" : "") + (pipelining ? "PIPELINING\r\n" : "") +
         "USER\r\n.\r\n";
}

// Greeting, CAPA and USER/PASS login of user "u" with password "p".
ServerScript Login(bool top, bool pipelining) {
  ServerScript s;
  s.Send("+OK ready").Expect("CAPA").SendRaw(Caps(top, pipelining));
  s.Expect("USER u").Send("+OK").Expect("PASS p").Send("+OK logged in");
  return s;
}

// A multi-line reply carrying a header and, when given, a body.
std::string Message(const std::string& header, const std::string& body = "") {
  return "+OK\r\n" + header + "\r\n" + (body.empty() ? "" : body + "\r\n") + ".\r\n";
}

// The mailbox most cases serve: a foreign message, the control mail
// (message 2, the check's own) and another foreign message.
const std::string kSubject = "TESSALY 42";
const std::string kForeign1 = "Subject: hello\r\n";
const std::string kOwn = "Subject: TESSALY 42\r\nX-Sender: TESSALYCom\r\n";
const std::string kForeign3 = "Subject: bye\r\n";

const Lines kLoginLines = {"CAPA", "USER u", "PASS p"};
Lines Join(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Rec : ComponentEvents {
  void OnHeader(std::string_view, std::string_view v) override { values.emplace_back(v); }
  Lines values;
};

// ---- the client alone ---------------------------------------------------

std::unique_ptr<Pop3Component> PlainClient(const ScriptServer& server, std::int16_t timeout) {
  auto client = NewPop3Client();
  client->SetMailServer("127.0.0.1");
  client->SetMailPort(server.port());
  client->SetUser("u");
  client->SetPassword("p");
  EXPECT_TRUE(client->SetSslStartMode(3).ok());
  client->SetTimeout(timeout);
  return client;
}

TEST(Pop3Client, SendsExactCommands) {
  const std::string m1 = Message("Subject: s1\r\n"), m2 = Message("Subject: s2\r\n"),
                    m3 = Message("Subject: s3\r\n");
  const std::string r1 = Message("Subject: s1\r\n", "body\r\n..dots"),
                    r2 = Message("Subject: s2\r\n", "body"), r3 = Message("Subject: s3\r\n", "b");
  struct Case {
    const char* name;
    ServerScript script;
    Lines commands;
  } cases[] = {
      // All three TOPs arrive before the first reply leaves: pipelined.
      // QUIT after a DELE waits for STAT alone, the sync point that shows
      // the replies in step.
      {"top pipelined",
       Login(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(m1 + m2 + m3).Expect("DELE 2").Send("+OK").Expect("STAT").Send("+OK 2 200")
           .Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "TOP 3 0", "DELE 2", "STAT", "QUIT"}},
      {"top single",
       Login(true, false).Expect("TOP 1 0").SendRaw(m1).Expect("TOP 2 0").SendRaw(m2)
           .Expect("DELE 2").Send("+OK").Expect("TOP 3 0").SendRaw(m3).Expect("STAT")
           .Send("+OK 2 200").Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "DELE 2", "TOP 3 0", "STAT", "QUIT"}},
      {"no top",
       Login(false, false).Expect("RETR 1").SendRaw(r1).Expect("RETR 2").SendRaw(r2)
           .Expect("DELE 2").Send("+OK").Expect("RETR 3").SendRaw(r3).Expect("STAT")
           .Send("+OK 2 200").Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "STAT", "QUIT"}},
      // A refused TOP may be a stray line: the sync point comes first.
      {"top refused",
       Login(true, false).Expect("TOP 1 0").Send("-ERR no TOP here").Expect("STAT")
           .Send("+OK 3 300").Expect("RETR 1").SendRaw(r1).Expect("RETR 2").SendRaw(r2)
           .Expect("DELE 2").Send("+OK").Expect("RETR 3").SendRaw(r3).Expect("STAT")
           .Send("+OK 2 200").Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "STAT", "RETR 1", "RETR 2", "DELE 2", "RETR 3",
        "STAT", "QUIT"}},
      // Replies already on their way when TOP is refused are dropped; the
      // RETRs that follow are pipelined again.
      {"top refused pipelined",
       Login(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .Send("-ERR no TOP here").Send("-ERR no TOP here").SendRaw(m3).Expect("STAT")
           .Send("+OK 3 300").Expect("RETR 1").Expect("RETR 2").Expect("RETR 3")
           .SendRaw(r1 + r2 + r3).Expect("DELE 2").Send("+OK").Expect("STAT").Send("+OK 2 200")
           .Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "TOP 3 0", "STAT", "RETR 1", "RETR 2",
        "RETR 3", "DELE 2", "STAT", "QUIT"}},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    Rec rec;
    {
      auto client = PlainClient(server, kTimeout);
      client->SetEvents(&rec);
      ASSERT_TRUE(client->Connect().ok()) << c.name;
      Status s = client->RetrieveEach(3, [](std::int32_t n) { return n == 2; });
      ASSERT_TRUE(s.ok()) << c.name << ": " << s.message();
      ASSERT_TRUE(client->Disconnect().ok()) << c.name;
    }
    ASSERT_TRUE(server.WaitDone(seconds(5))) << c.name;
    EXPECT_EQ(server.Transcript(), c.commands) << c.name;
    EXPECT_EQ(server.Errors(), Lines{}) << c.name;
    EXPECT_EQ(rec.values, (Lines{"s1", "s2", "s3"})) << c.name;
  }
}

TEST(Pop3Client, ConnectFaultsEndWithinTheTimeout) {
  struct Case {
    const char* name;
    ServerScript script;
    int ssl_mode;
    const char* error;
  } cases[] = {
      {"no greeting", ServerScript().RecordUntilClose(), 3, "connection timed out after 1 s"},
      {"closed mid-login", ServerScript().Send("+OK").Expect("CAPA").SendRaw(Caps(true, true))
                               .Expect("USER").Close(),
       3, "connection closed by server"},
      {"refused login", ServerScript().Send("+OK").Expect("CAPA").SendRaw(Caps(true, true))
                            .Expect("USER").Send("+OK").Expect("PASS").Send("-ERR [AUTH] bad"),
       3, "-ERR [AUTH] bad"},
      {"no stls", ServerScript().Send("+OK").Expect("CAPA").SendRaw(Caps(true, true)), 0,
       "server does not offer STLS; TLS is required"},
  };
  for (const Case& c : cases) {
    ScriptServer server(c.script);
    auto client = PlainClient(server, 1);
    ASSERT_TRUE(client->SetSslStartMode(c.ssl_mode).ok()) << c.name;
    auto start = steady_clock::now();
    Status s = client->Connect();
    auto took = steady_clock::now() - start;
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.message(), c.error) << c.name;
    EXPECT_LT(took, seconds(2)) << c.name;
    EXPECT_FALSE(client->Connected()) << c.name;
  }
}

TEST(Pop3Client, MalformedStatIsAnError) {
  for (const char* stat : {"+OK", "+OK x 1", "+OK 99999999999 1", "+OK -1 2"}) {
    ScriptServer server(Login(true, true).Expect("STAT").Send(stat).RecordUntilClose());
    auto client = PlainClient(server, 1);
    ASSERT_TRUE(client->Connect().ok()) << stat;
    std::int32_t count = 7;
    Status s = client->MessageCount(&count);
    EXPECT_FALSE(s.ok()) << stat;
    EXPECT_EQ(s.message(), "malformed STAT reply \"" + std::string(stat) + "\"") << stat;
    EXPECT_FALSE(client->Connected()) << stat;
  }
}

// A CR, LF or NUL in the user name or password would end USER or PASS
// early and send the rest as a command of its own: nothing is sent at all.
TEST(Pop3Client, RefusesValuesThatWouldEndTheCommandLine) {
  struct Case {
    const char* name;
    std::string user, password;
    const char* error;
  } cases[] = {
      {"user crlf", "u\r\nDELE 1", "p", "user name cannot be sent"},
      {"user lf", "u\nDELE 1", "p", "user name cannot be sent"},
      {"user cr", "u\r", "p", "user name cannot be sent"},
      {"user nul", std::string("u\0x", 3), "p", "user name cannot be sent"},
      {"password crlf", "u", "p\r\nDELE 1", "password cannot be sent"},
      {"password nul", "u", std::string("p\0", 2), "password cannot be sent"},
  };
  for (const Case& c : cases) {
    ScriptServer server(ServerScript().Send("+OK ready").RecordUntilClose());
    auto client = PlainClient(server, kTimeout);
    client->SetUser(c.user);
    client->SetPassword(c.password);
    Status s = client->Connect();
    EXPECT_EQ(s.message(), c.error) << c.name;
    EXPECT_FALSE(client->Connected()) << c.name;
    EXPECT_EQ(server.connections(), 0u) << c.name;
  }
}

// The same through a stored parameter string: the user name is unescaped
// to "u", CR, LF, "DELE 1" and the password decoded from Base64, before the
// client sees them.
TEST(Pop3Client, StoredValueWithLineBreakSendsNothing) {
  struct Case {
    const char* name;
    std::string params;
    std::string result;
  } cases[] = {
      {"retrieve user", "#OMODE=POP3#PUSR=u{0x0d}{0x0a}DELE 1#PPWD=" + Base64Encode("p") + "#",
       "ERR POP3:user name cannot be sent (3)"},
      {"count user", "#OMODE=CPOP#PUSR=u{0x0d}{0x0a}DELE 1#PPWD=" + Base64Encode("p") + "#",
       "ERR COUNT POP3:user name cannot be sent"},
      {"retrieve password", "#OMODE=POP3#PUSR=u#PPWD=" + Base64Encode("p\r\nDELE 1") + "#",
       "ERR POP3:password cannot be sent (3)"},
  };
  for (const Case& c : cases) {
    ScriptServer server(ServerScript().Send("+OK ready").RecordUntilClose());
    CaptureTraceSink trace;
    MailFormOptions options;
    options.trace = &trace;
    options.clock = &SystemClock();
    options.registry_file = "/nonexistent/tessaly-registry";
    auto mail = NewMailForm(options);
    CheckRunEnv env;
    env.mail = mail.get();
    env.clock = &SystemClock();
    Variant parameter(c.params + "PSRV=127.0.0.1#PPORT=" + std::to_string(server.port()) + "#");
    std::string result;
    EXPECT_FALSE(RunCheck(env, &parameter, Variant(kTimeout), &result)) << c.name;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(server.connections(), 0u) << c.name;
    EXPECT_EQ(server.Transcript(), Lines{}) << c.name;
  }
}

// Header values reach OnHeader byte for byte: 8-bit bytes untouched, a
// 1 MB line cut to the line bound with the fields after it intact.
TEST(Pop3Client, HeaderValuesArriveAsSent) {
  const std::string eight = "x " + EightBitBytes();
  const std::string huge = LongLine(1 << 20);
  ScriptServer server(Login(true, false).Expect("TOP 1 0")
                          .SendRaw(Message("Subject: " + eight + "\r\nX-Long: " + huge +
                                           "\r\nX-Sender: after\r\n"))
                          .Expect("QUIT").Send("+OK"));
  Rec rec;
  {
    auto client = PlainClient(server, kTimeout);
    client->SetEvents(&rec);
    ASSERT_TRUE(client->Connect().ok());
    ASSERT_TRUE(client->SetMessageNumber(1).ok());
    Status s = client->Retrieve();
    ASSERT_TRUE(s.ok()) << s.message();
    ASSERT_TRUE(client->Disconnect().ok());
  }
  ASSERT_EQ(rec.values.size(), 3u);
  EXPECT_EQ(rec.values[0], eight);
  EXPECT_LT(rec.values[1].size(), 70000u);
  EXPECT_EQ(rec.values[1], huge.substr(0, rec.values[1].size()));
  EXPECT_EQ(rec.values[2], "after");
}

// ---- the operations over the client -------------------------------------

struct OpCase {
  const char* name;
  ServerScript script;
  enum Op { kRetrieve, kCount, kCountDeleteAll } op;
  std::string result;
  Lines transcript;  // every command the client sent, over the whole run
  Lines trace = {};  // when not empty: every trace line of the run
  bool ssl = false;
};

// The login and the two STATs of a retrieval of three messages.
ServerScript RetrieveStart(bool top, bool pipelining) {
  return Login(top, pipelining).Expect("STAT").Send("+OK 3 300").Expect("STAT").Send("+OK 3 300");
}
const Lines kRetrieveStartLines = Join(kLoginLines, {"STAT", "STAT"});

std::vector<OpCase> OpCases() {
  const std::string m1 = Message(kForeign1), m2 = Message(kOwn), m3 = Message(kForeign3);
  const std::string own1 = Message(kOwn);
  const Lines top3 = {"TOP 1 0", "TOP 2 0", "TOP 3 0"};
  return {
      // Transcripts of whole operations.
      {"retrieve_pipelined",
       RetrieveStart(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(m1 + m2 + m3).Expect("DELE 2").Send("+OK").Expect("STAT").Send("+OK 2 200")
           .Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "OK",
       Join(kRetrieveStartLines, Join(top3, {"DELE 2", "STAT", "QUIT"}))},
      {"retrieve_top_refused",
       RetrieveStart(true, false).Expect("TOP 1 0").Send("-ERR unknown command")
           .Expect("STAT").Send("+OK 3 300").Expect("RETR 1").SendRaw(Message(kForeign1, "body"))
           .Expect("RETR 2").SendRaw(Message(kOwn, "body")).Expect("DELE 2").Send("+OK")
           .Expect("RETR 3").SendRaw(Message(kForeign3, "body")).Expect("STAT").Send("+OK 2 200")
           .Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "OK",
       Join(kRetrieveStartLines,
            {"TOP 1 0", "STAT", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "STAT", "QUIT"})},
      {"count",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("QUIT").Send("+OK"),
       OpCase::kCount, " 3 message(s) in this mailbox (u)", Join(kLoginLines, {"STAT", "QUIT"})},
      {"count_delete_all_pipelined",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("STAT").Send("+OK 3 300")
           .Expect("DELE 1").Expect("DELE 2").Expect("DELE 3").SendRaw("+OK\r\n+OK\r\n+OK\r\n")
           .Expect("STAT").Send("+OK 0 0").Expect("QUIT").Send("+OK"),
       OpCase::kCountDeleteAll, " 3 message(s) in this mailbox (u)",
       Join(kLoginLines, {"STAT", "STAT", "DELE 1", "DELE 2", "DELE 3", "STAT", "QUIT"})},
      {"count_delete_all_single",
       Login(true, false).Expect("STAT").Send("+OK 2 200").Expect("STAT").Send("+OK 2 200")
           .Expect("DELE 1").Send("+OK").Expect("DELE 2").Send("+OK").Expect("STAT")
           .Send("+OK 0 0").Expect("QUIT").Send("+OK"),
       OpCase::kCountDeleteAll, " 2 message(s) in this mailbox (u)",
       Join(kLoginLines, {"STAT", "STAT", "DELE 1", "DELE 2", "STAT", "QUIT"})},

      // A server that offers STLS and lists no USER takes no login in clear:
      // with SSL off, neither USER nor PASS goes out.
      {"login_needs_tls",
       ServerScript().Send("+OK ready").Expect("CAPA")
           .SendRaw("+OK\r\nTOP\r\nSTLS\r\nSASL PLAIN\r\n.\r\n").RecordUntilClose(),
       OpCase::kRetrieve, "ERR POP3:server refuses login without TLS; turn SSL on (3)", {"CAPA"}},
      {"count_login_needs_tls",
       ServerScript().Send("+OK ready").Expect("CAPA").SendRaw("+OK\r\nSTLS\r\n.\r\n")
           .RecordUntilClose(),
       OpCase::kCount, "ERR COUNT POP3:server refuses login without TLS; turn SSL on", {"CAPA"}},
      {"stls_and_user_listed",
       ServerScript().Send("+OK ready").Expect("CAPA").SendRaw("+OK\r\nSTLS\r\nUSER\r\n.\r\n")
           .Expect("USER u").Send("+OK").Expect("PASS p").Send("+OK").Expect("STAT")
           .Send("+OK 0 0").Expect("QUIT").Send("+OK"),
       OpCase::kCount, " 0 message(s) in this mailbox (u)",
       {"CAPA", "USER u", "PASS p", "STAT", "QUIT"}},
      // The capabilities change with TLS: USER, missing before STLS, is
      // read again after it.
      {"capa_read_again_after_stls",
       ServerScript().Send("+OK ready").Expect("CAPA").SendRaw("+OK\r\nSTLS\r\n.\r\n")
           .Expect("STLS").Send("+OK begin TLS").StartTls().Expect("CAPA")
           .SendRaw("+OK\r\nUSER\r\n.\r\n").Expect("USER u").Send("+OK").Expect("PASS p")
           .Send("+OK").Expect("STAT").Send("+OK 0 0").Expect("QUIT").Send("+OK"),
       OpCase::kCount, " 0 message(s) in this mailbox (u)",
       {"CAPA", "STLS", "CAPA", "USER u", "PASS p", "STAT", "QUIT"}, {}, true},

      // SSL on a port that is not the well-known one: a server that does
      // not greet gets TLS from the first byte.
      {"tls_from_the_first_byte",
       ServerScript().StartTls().Send("+OK ready").Expect("CAPA").SendRaw(Caps(true, true))
           .Expect("USER u").Send("+OK").Expect("PASS p").Send("+OK").Expect("STAT")
           .Send("+OK 0 0").Expect("QUIT").Send("+OK"),
       OpCase::kCount, " 0 message(s) in this mailbox (u)", Join(kLoginLines, {"STAT", "QUIT"}),
       {}, true},
      {"silent_with_ssl", ServerScript().Stall(milliseconds(2500)), OpCase::kRetrieve,
       "ERR POP3:no greeting within 500 ms and no TLS from the first byte either: connection "
       "timed out after 2 s (3)",
       {}, {}, true},
      {"count_silent_with_ssl", ServerScript().Stall(milliseconds(2500)), OpCase::kCount,
       "ERR COUNT POP3:no greeting within 500 ms and no TLS from the first byte either: "
       "connection timed out after 2 s",
       {}, {}, true},

      // Faults: each ends within the time-out, with no QUIT after a DELE.
      {"no_greeting", ServerScript().RecordUntilClose(), OpCase::kRetrieve,
       "ERR POP3:connection timed out after 2 s (3)", {}},
      {"count_no_greeting", ServerScript().RecordUntilClose(), OpCase::kCountDeleteAll,
       "ERR COUNT POP3:connection timed out after 2 s", {}},
      // Message 1 is own and decided; the reply of message 2 never comes.
      {"stall_mid_retrieve",
       RetrieveStart(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(own1).RecordUntilClose(),
       OpCase::kRetrieve, "ERR POP3:connection timed out after 2 s (6)",
       Join(kRetrieveStartLines, top3),
       {"POP3 SUBJECT :TESSALY 42", "Subject to find  : TESSALY 42",
        "Subject received : TESSALY 42", "Subject OK", "POP3 RECEIVED X-SENDER :TESSALYCom",
        "POP3 :2 connection timed out after 2 s"}},
      {"drop_mid_reply",
       RetrieveStart(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(own1 + "+OK\r\nSubject: TESS").Drop(),
       OpCase::kRetrieve, "ERR POP3:read failed: Connection reset by peer (6)",
       Join(kRetrieveStartLines, top3)},
      {"stall_mid_delete_all",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("STAT").Send("+OK 3 300")
           .Expect("DELE 1").Expect("DELE 2").Expect("DELE 3").Send("+OK").RecordUntilClose(),
       OpCase::kCountDeleteAll, "ERR COUNT POP3:connection timed out after 2 s",
       Join(kLoginLines, {"STAT", "STAT", "DELE 1", "DELE 2", "DELE 3"})},
      {"malformed_stat",
       Login(true, true).Expect("STAT").Send("+OK x 1").RecordUntilClose(), OpCase::kRetrieve,
       "ERR POP3:malformed STAT reply \"+OK x 1\" (4)", Join(kLoginLines, {"STAT"})},
      {"malformed_recount",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("STAT").Send("+OK 3")
           .RecordUntilClose(),
       OpCase::kRetrieve, "ERR POP3:malformed STAT reply \"+OK 3\" (5)",
       Join(kLoginLines, {"STAT", "STAT"})},
      {"count_malformed_stat",
       Login(true, true).Expect("STAT").Send("+OK x 1").RecordUntilClose(), OpCase::kCount,
       "ERR COUNT POP3:malformed STAT reply \"+OK x 1\"", Join(kLoginLines, {"STAT"})},
      // A refused DELE leaves earlier marks uncommitted.
      {"dele_refused",
       RetrieveStart(true, false).Expect("TOP 1 0").SendRaw(own1).Expect("DELE 1")
           .Send("-ERR mailbox locked").RecordUntilClose(),
       OpCase::kRetrieve, "ERR POP3:-ERR mailbox locked (6)",
       Join(kRetrieveStartLines, {"TOP 1 0", "DELE 1"})},
      // Header faults that are no failure: the control mail is still found.
      // The X-Sender after a 1 MB Subject line still marks message 2 own.
      {"one_mb_header_line",
       RetrieveStart(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(m1 + Message("Subject: TESSALY 42 " + LongLine(1 << 20) +
                                 "\r\nX-Sender: TESSALYCom\r\n") + m3)
           .Expect("DELE 2").Send("+OK").Expect("STAT").Send("+OK 2 200").Expect("QUIT")
           .Send("+OK"),
       OpCase::kRetrieve, "OK",
       Join(kRetrieveStartLines, Join(top3, {"DELE 2", "STAT", "QUIT"}))},
      // CR CR LF line ends (a CRLF Maildir served by some servers): the
      // values are compared and traced without the CR, so message 2 is
      // still the control mail and the check's own.
      {"cr_cr_lf_header",
       RetrieveStart(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(m1 + "+OK\r\nSubject: TESSALY 42\r\r\nX-Sender: TESSALYCom\r\r\n\r\r\n.\r\n" +
                    m3)
           .Expect("DELE 2").Send("+OK").Expect("STAT").Send("+OK 2 200").Expect("QUIT")
           .Send("+OK"),
       OpCase::kRetrieve, "OK",
       Join(kRetrieveStartLines, Join(top3, {"DELE 2", "STAT", "QUIT"})),
       {"POP3 SUBJECT :hello", "Subject to find  : TESSALY 42", "Subject received : hello",
        "SUBJECT not ok (hello)", "POP3 SUBJECT :TESSALY 42", "Subject to find  : TESSALY 42",
        "Subject received : TESSALY 42", "Subject OK", "POP3 RECEIVED X-SENDER :TESSALYCom",
        "POP3 SUBJECT :bye", "Subject to find  : TESSALY 42", "Subject received : bye",
        "SUBJECT not ok (bye)"}},
      {"eight_bit_subject",
       Login(true, true).Expect("STAT").Send("+OK 1 100").Expect("STAT").Send("+OK 1 100")
           .Expect("TOP 1 0").SendRaw(Message("Subject: x" + EightBitBytes() + "\r\n"))
           .Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "ERR POP3: messages received with wrong subject (x" + EightBitBytes() + ")",
       Join(kLoginLines, {"STAT", "STAT", "TOP 1 0", "QUIT"}),
       {"POP3 SUBJECT :x" + EightBitBytes(), "Subject to find  : TESSALY 42",
        "Subject received : x" + EightBitBytes(), "SUBJECT not ok (x" + EightBitBytes() + ")"}},
  };
}

// gtest prints the case by its name.
void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }

class Pop3OperationTest : public ::testing::TestWithParam<OpCase> {};

// The arguments both operations share, for the scripted server's port.
template <typename Args>
Args ArgsFor(int port) {
  Args a;
  a.host = "127.0.0.1";
  a.port = port;
  a.user = "u";
  a.password = "p";
  a.timeout = kTimeout;
  return a;
}

TEST_P(Pop3OperationTest, ResultAndTranscript) {
  const OpCase& c = GetParam();
  CaptureTraceSink trace;
  testing::ScriptRun run = testing::RunScript(c.script, [&](int port) {
    // The components end with the call: a connection still open closes
    // without QUIT.
    auto pop3 = NewPop3Client();
    auto imap4 = NewImap4Client();
    RetrieveOperations ops(*pop3, *imap4, trace);
    if (c.op == OpCase::kRetrieve) {
      auto a = ArgsFor<RetrieveArgs>(port);
      a.subject = kSubject;
      a.only_delete_own = true;
      a.mode = "TESSALY";
      a.ssl = c.ssl;
      return ops.RetrieveMessages(a);
    }
    auto a = ArgsFor<CountArgs>(port);
    a.ssl = c.ssl;
    a.delete_all = c.op == OpCase::kCountDeleteAll;
    return ops.CountMessages(a);
  });
  ASSERT_TRUE(run.done) << c.name;
  EXPECT_EQ(run.result, c.result) << c.name;
  EXPECT_LT(run.took, seconds(kTimeout + 1)) << c.name;
  EXPECT_EQ(run.transcript, c.transcript) << c.name;
  EXPECT_EQ(run.errors, Lines{}) << c.name;
  if (!c.trace.empty()) {
    EXPECT_EQ(trace.lines(), c.trace) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Script, Pop3OperationTest, ::testing::ValuesIn(OpCases()),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- a stray or a missing reply at every position -----------------------

// A POP3 maildrop that answers whatever the client sends, with one fault at
// reply number `at` (0 is the greeting): a stray line after that reply
// (sent with it, or late: with the next reply), or the reply left out. Deletion marks are committed on QUIT only, as a real
// server does; `committed` is what a QUIT removed.
struct FaultyMaildrop {
  enum Fault { kNone, kExtraErr, kExtraOk, kLateErr, kLateOk, kMissing };
  std::vector<std::string> headers = {kForeign1, kOwn, kForeign3};  // message n at n - 1
  bool top = true;         // CAPA lists TOP
  bool refuse_top = false;  // ... and TOP is refused all the same
  bool pipelining = true;
  Fault fault = kNone;
  int at = -1;

  int replies = 0;
  std::set<int> marked;
  std::set<int> committed;
  bool quit = false;
  std::string late_;  // a stray line that goes out with the next reply

  std::string Emit(std::string reply) {
    reply = std::exchange(late_, "") + reply;
    if (replies++ != at) return reply;
    switch (fault) {
      case kExtraErr:
        return reply + "-ERR oops\r\n";
      case kExtraOk:
        return reply + "+OK\r\n";
      case kLateErr:
        late_ = "-ERR oops\r\n";
        break;
      case kLateOk:
        late_ = "+OK\r\n";
        break;
      case kMissing:
        return "";
      case kNone:
        break;
    }
    return reply;
  }

  std::string Answer(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    int n = 0;
    in >> command >> n;
    const bool exists = n >= 1 && n <= static_cast<int>(headers.size()) && marked.count(n) == 0;
    if (command == "CAPA") {
      return Emit("+OK\r\n" + std::string(top ? "TOP\r\n" : "") +
                  (pipelining ? "PIPELINING\r\n" : "") + "USER\r\n.\r\n");
    }
    if (command == "USER" || command == "NOOP") return Emit("+OK\r\n");
    if (command == "PASS") return Emit("+OK logged in\r\n");
    if (command == "STAT") {
      const std::size_t live = headers.size() - marked.size();
      return Emit("+OK " + std::to_string(live) + " " + std::to_string(live * 100) + "\r\n");
    }
    if ((command == "TOP" && top && !refuse_top) || command == "RETR") {
      if (!exists) return Emit("-ERR no such message\r\n");
      return Emit(Message(headers[static_cast<std::size_t>(n - 1)], command == "RETR" ? "body" : ""));
    }
    if (command == "DELE") {
      if (!exists) return Emit("-ERR no such message\r\n");
      marked.insert(n);
      return Emit("+OK marked\r\n");
    }
    if (command == "QUIT") {
      quit = true;
      committed = marked;
      return Emit("+OK bye\r\n");
    }
    return Emit("-ERR unknown command\r\n");
  }

  // The greeting goes out before the first line is read; every later
  // reply answers a line. With idle above 0 the server hangs up once the
  // client sends nothing more for that long.
  ServerScript Script(milliseconds idle) {
    return ServerScript().SendRaw(Emit("+OK ready\r\n")).Serve(
        [this](const std::string& line) { return Answer(line); }, idle);
  }
};

// A retrieval with only-delete-own on against the maildrop: only message 2,
// the control mail, is the check's own. Fills *transcript when given.
std::string RetrieveFrom(FaultyMaildrop* drop, milliseconds idle, Lines* transcript = nullptr) {
  std::string result;
  ScriptServer server(drop->Script(idle));
  {
    CaptureTraceSink trace;
    auto pop3 = NewPop3Client();
    auto imap4 = NewImap4Client();
    RetrieveOperations ops(*pop3, *imap4, trace);
    auto a = ArgsFor<RetrieveArgs>(server.port());
    a.subject = kSubject;
    a.only_delete_own = true;
    a.mode = "TESSALY";
    result = ops.RetrieveMessages(a);
  }
  EXPECT_TRUE(server.WaitDone(seconds(5)));
  if (transcript != nullptr) *transcript = server.Transcript();
  return result;
}

struct ServerKind {
  const char* name;
  bool top, refuse_top, pipelining;
};
void PrintTo(const ServerKind& k, std::ostream* os) { *os << k.name; }

class Pop3StrayReplyTest : public ::testing::TestWithParam<ServerKind> {};

// One line too many or too few shifts every later reply by one. Wherever it
// happens before the QUIT reply, the client must notice and hang up
// without QUIT, so no mark is ever committed; a fault at the QUIT reply
// itself can only come after the check's own decision was committed.
TEST_P(Pop3StrayReplyTest, NoDeletionIsCommittedOnAShiftedDialogue) {
  const ServerKind& k = GetParam();
  auto drop_for = [&k](FaultyMaildrop::Fault fault, int at) {
    FaultyMaildrop d;
    d.top = k.top;
    d.refuse_top = k.refuse_top;
    d.pipelining = k.pipelining;
    d.fault = fault;
    d.at = at;
    return d;
  };
  FaultyMaildrop clean = drop_for(FaultyMaildrop::kNone, -1);
  ASSERT_EQ(RetrieveFrom(&clean, milliseconds(0)), "OK");
  ASSERT_EQ(clean.committed, std::set<int>{2});
  const int quit_reply = clean.replies - 1;

  const std::pair<FaultyMaildrop::Fault, const char*> faults[] = {
      {FaultyMaildrop::kExtraErr, "extra -ERR"},
      {FaultyMaildrop::kExtraOk, "extra +OK"},
      {FaultyMaildrop::kLateErr, "late extra -ERR"},
      {FaultyMaildrop::kLateOk, "late extra +OK"},
      {FaultyMaildrop::kMissing, "missing reply"}};
  for (const auto& [fault, fault_name] : faults) {
    for (int at = 0; at <= quit_reply; ++at) {
      FaultyMaildrop d = drop_for(fault, at);
      Lines transcript;
      const std::string result = RetrieveFrom(&d, milliseconds(300), &transcript);
      const std::string where = std::string(fault_name) + " at reply " + std::to_string(at) +
                                ": " + result + "\n" + ::testing::PrintToString(transcript);
      EXPECT_TRUE(d.committed.empty() || d.committed == std::set<int>{2}) << where;
      // A late line after the reply to the sync point comes with the QUIT
      // reply: the dialogue was in step up to QUIT.
      const bool late = fault == FaultyMaildrop::kLateErr || fault == FaultyMaildrop::kLateOk;
      if (at < quit_reply - (late ? 1 : 0)) {
        EXPECT_FALSE(d.quit) << where;
        EXPECT_EQ(result.rfind("ERR POP3:", 0), 0u) << where;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Script, Pop3StrayReplyTest,
    ::testing::Values(ServerKind{"top_pipelined", true, false, true},
                      ServerKind{"top_single", true, false, false},
                      ServerKind{"retr_pipelined", false, false, true},
                      ServerKind{"top_refused_pipelined", true, true, true},
                      ServerKind{"top_refused_single", true, true, false}),
    [](const auto& i) { return std::string(i.param.name); });

// Seen against a server: mailbox [foreign, control mail, foreign] and one
// extra "-ERR oops" after the second STAT. It used to pass for a refused
// TOP; every reply after it was then taken for the one before, and message
// 3, a foreign one, was deleted with QUIT.
TEST(Pop3Client, ExtraErrAfterTheSecondStatDeletesNothing) {
  FaultyMaildrop d;
  d.pipelining = false;
  d.fault = FaultyMaildrop::kExtraErr;
  d.at = 5;  // greeting, CAPA, USER, PASS, STAT, STAT
  Lines transcript;
  const std::string result = RetrieveFrom(&d, milliseconds(0), &transcript);
  EXPECT_EQ(result.rfind("ERR POP3:unexpected reply ", 0), 0u) << result;
  EXPECT_FALSE(d.quit) << ::testing::PrintToString(transcript);
  EXPECT_TRUE(d.marked.empty() || d.marked == std::set<int>{2})
      << ::testing::PrintToString(transcript);
  EXPECT_TRUE(d.committed.empty());
}

}  // namespace
}  // namespace tessaly
