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
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "env/trace.h"
#include "mail/imap4_client.h"
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
      {"top pipelined",
       Login(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .SendRaw(m1 + m2 + m3).Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "TOP 3 0", "DELE 2", "QUIT"}},
      {"top single",
       Login(true, false).Expect("TOP 1 0").SendRaw(m1).Expect("TOP 2 0").SendRaw(m2)
           .Expect("DELE 2").Send("+OK").Expect("TOP 3 0").SendRaw(m3).Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "DELE 2", "TOP 3 0", "QUIT"}},
      {"no top",
       Login(false, false).Expect("RETR 1").SendRaw(r1).Expect("RETR 2").SendRaw(r2)
           .Expect("DELE 2").Send("+OK").Expect("RETR 3").SendRaw(r3).Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"}},
      {"top refused",
       Login(true, false).Expect("TOP 1 0").Send("-ERR no TOP here").Expect("RETR 1").SendRaw(r1)
           .Expect("RETR 2").SendRaw(r2).Expect("DELE 2").Send("+OK").Expect("RETR 3").SendRaw(r3)
           .Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"}},
      // Replies already on their way when TOP is refused are dropped; the
      // RETRs that follow are pipelined again.
      {"top refused pipelined",
       Login(true, true).Expect("TOP 1 0").Expect("TOP 2 0").Expect("TOP 3 0")
           .Send("-ERR no TOP here").Send("-ERR no TOP here").SendRaw(m3)
           .Expect("RETR 1").Expect("RETR 2").Expect("RETR 3").SendRaw(r1 + r2 + r3)
           .Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK"),
       {"CAPA", "USER u", "PASS p", "TOP 1 0", "TOP 2 0", "TOP 3 0", "RETR 1", "RETR 2", "RETR 3",
        "DELE 2", "QUIT"}},
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
           .SendRaw(m1 + m2 + m3).Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "OK", Join(kRetrieveStartLines, Join(top3, {"DELE 2", "QUIT"}))},
      {"retrieve_top_refused",
       RetrieveStart(true, false).Expect("TOP 1 0").Send("-ERR unknown command")
           .Expect("RETR 1").SendRaw(Message(kForeign1, "body")).Expect("RETR 2")
           .SendRaw(Message(kOwn, "body")).Expect("DELE 2").Send("+OK").Expect("RETR 3")
           .SendRaw(Message(kForeign3, "body")).Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "OK",
       Join(kRetrieveStartLines, {"TOP 1 0", "RETR 1", "RETR 2", "DELE 2", "RETR 3", "QUIT"})},
      {"count",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("QUIT").Send("+OK"),
       OpCase::kCount, " 3 message(s) in this mailbox (u)", Join(kLoginLines, {"STAT", "QUIT"})},
      {"count_delete_all_pipelined",
       Login(true, true).Expect("STAT").Send("+OK 3 300").Expect("STAT").Send("+OK 3 300")
           .Expect("DELE 1").Expect("DELE 2").Expect("DELE 3").SendRaw("+OK\r\n+OK\r\n+OK\r\n")
           .Expect("QUIT").Send("+OK"),
       OpCase::kCountDeleteAll, " 3 message(s) in this mailbox (u)",
       Join(kLoginLines, {"STAT", "STAT", "DELE 1", "DELE 2", "DELE 3", "QUIT"})},
      {"count_delete_all_single",
       Login(true, false).Expect("STAT").Send("+OK 2 200").Expect("STAT").Send("+OK 2 200")
           .Expect("DELE 1").Send("+OK").Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK"),
       OpCase::kCountDeleteAll, " 2 message(s) in this mailbox (u)",
       Join(kLoginLines, {"STAT", "STAT", "DELE 1", "DELE 2", "QUIT"})},

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
           .Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK"),
       OpCase::kRetrieve, "OK", Join(kRetrieveStartLines, Join(top3, {"DELE 2", "QUIT"}))},
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
      return ops.RetrieveMessages(a);
    }
    auto a = ArgsFor<CountArgs>(port);
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

}  // namespace
}  // namespace tessaly
