// The IMAP4 retrieval over the real IMAP4 client against the scripted
// server on loopback: the exact commands of one operation (LOGIN, SELECT
// of a quoted name, one FETCH over the sequence set, one STORE over the
// decided messages, EXPUNGE, LOGOUT), and the faults a real server does not
// produce on demand (NO and BAD, a malformed EXISTS or FETCH, a stall
// mid-FETCH, a drop mid-literal, a 1 MB header literal, 8-bit bytes). A
// failure must end within the time-out plus one second with its exact
// text, and never flag or expunge a message the rules did not mark.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "env/trace.h"
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#include "mail/retrieve_operations.h"
#include "support/script_server.h"

namespace tessaly {
namespace {

using std::chrono::seconds;
using testing::EightBitBytes;
using testing::LongLine;
using testing::ServerScript;
using Lines = std::vector<std::string>;

constexpr std::int16_t kTimeout = 2;  // seconds

const std::string kFetch = "a4 FETCH 1:3 (BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])";
const Lines kLoginLines = {"a1 CAPABILITY", "a2 LOGIN \"u\" \"p\""};
const Lines kSelectLines = {"a1 CAPABILITY", "a2 LOGIN \"u\" \"p\"", "a3 SELECT \"Sent Items\""};
const Lines kFetchLines = {"a1 CAPABILITY", "a2 LOGIN \"u\" \"p\"", "a3 SELECT \"Sent Items\"",
                           kFetch};
Lines Join(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Greeting, CAPABILITY and LOGIN as far as the LOGIN command.
ServerScript ToLogin() {
  ServerScript s;
  s.Send("* OK ready").Expect("a1 CAPABILITY").Send("* CAPABILITY IMAP4rev1 LITERAL+")
      .Send("a1 OK done").Expect("a2 LOGIN");
  return s;
}
// ... and on to the SELECT command.
ServerScript ToSelect() {
  ServerScript s = ToLogin();
  s.Send("a2 OK logged in").Expect("a3 SELECT");
  return s;
}
// ... and on to the FETCH command, with three messages in the mailbox.
ServerScript ToFetch() {
  ServerScript s = ToSelect();
  s.Send("* FLAGS (\\Deleted \\Seen)").Send("* 3 EXISTS").Send("* 0 RECENT")
      .Send("a3 OK [READ-WRITE] selected").Expect("a4 FETCH");
  return s;
}

// One FETCH response carrying header fields as a literal.
std::string Item(int n, const std::string& fields) {
  const std::string literal = fields + "\r\n";
  return "* " + std::to_string(n) + " FETCH (BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {" +
         std::to_string(literal.size()) + "}\r\n" + literal + ")\r\n";
}

// A foreign message, the control mail (message 2, the check's own) and
// another foreign message.
const std::string kSubject = "TESSIMO 42";
const std::string kForeign1 = "Subject: hello\r\n";
const std::string kOwn = "Subject: TESSIMO 42\r\nX-Sender: TESSIMOCom\r\n";
const std::string kForeign3 = "Subject: bye\r\n";
const std::string kMailbox = Item(1, kForeign1) + Item(2, kOwn) + Item(3, kForeign3);

struct Case {
  const char* name;
  ServerScript script;
  std::string result;
  Lines transcript;  // every command the client sent, over the whole run
  bool only_delete_own = true;
};

std::vector<Case> Cases() {
  const std::string fetched = "a4 OK Fetch completed.";
  const std::string eight = "x" + EightBitBytes();
  return {
      // Transcripts.
      {"one_operation",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("* 2 EXPUNGE").Send("a6 OK").Expect("a7 LOGOUT")
           .Send("* BYE").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 STORE 2 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE", "a7 LOGOUT"})},
      {"delete_all",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 STORE 1:3 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE", "a7 LOGOUT"}),
       false},
      {"nothing_to_flag",
       ToFetch().SendRaw(Item(1, kForeign1) + Item(2, kForeign3) + Item(3, ""))
           .Send(fetched).Expect("a5 LOGOUT").Send("a5 OK"),
       "ERR IMAP4: messages received with wrong subject (hello-bye)",
       Join(kFetchLines, {"a5 LOGOUT"})},
      {"empty_mailbox",
       ToSelect().Send("* 0 EXISTS").Send("a3 OK").Expect("a4 LOGOUT").Send("a4 OK"),
       "ERR IMAP4: no messages received", Join(kSelectLines, {"a4 LOGOUT"})},
      // Flag updates and numbers outside the set are no messages to decide.
      {"unsolicited_fetch",
       ToFetch().SendRaw(Item(1, kForeign1) + "* 1 FETCH (FLAGS (\\Seen))\r\n" +
                         Item(2, kOwn) + "* 9 FETCH (FLAGS (\\Seen))\r\n" + Item(3, kForeign3))
           .Send(fetched).Expect("a5 STORE").Send("a5 OK").Expect("a6 EXPUNGE").Send("a6 OK")
           .Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 STORE 1:3 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE", "a7 LOGOUT"}),
       false},

      // Faults.
      {"no_greeting", ServerScript().RecordUntilClose(),
       "ERR IMAP4:connection timed out after 2 s (3)", {}},
      {"login_no",
       ToLogin().Send("a2 NO [AUTHENTICATIONFAILED] Authentication failed.").RecordUntilClose(),
       "ERR IMAP4:a2 NO [AUTHENTICATIONFAILED] Authentication failed. (3)", kLoginLines},
      {"login_bad", ToLogin().Send("a2 BAD Error in IMAP command").RecordUntilClose(),
       "ERR IMAP4:a2 BAD Error in IMAP command (3)", kLoginLines},
      {"select_no", ToSelect().Send("a3 NO Mailbox doesn't exist: Sent Items").RecordUntilClose(),
       "ERR IMAP4:a3 NO Mailbox doesn't exist: Sent Items (4)", kSelectLines},
      {"select_bad", ToSelect().Send("a3 BAD Invalid mailbox name").RecordUntilClose(),
       "ERR IMAP4:a3 BAD Invalid mailbox name (4)", kSelectLines},
      {"malformed_exists", ToSelect().Send("* x EXISTS").Send("a3 OK").RecordUntilClose(),
       "ERR IMAP4:malformed EXISTS \"* x EXISTS\" (4)", kSelectLines},
      {"exists_too_large", ToSelect().Send("* 4294967296 EXISTS").Send("a3 OK").RecordUntilClose(),
       "ERR IMAP4:malformed EXISTS \"* 4294967296 EXISTS\" (4)", kSelectLines},
      {"no_exists", ToSelect().Send("a3 OK").RecordUntilClose(),
       "ERR IMAP4:SELECT reply without EXISTS (4)", kSelectLines},
      // Message 2 is own and decided; the refusal that follows flags nothing.
      {"fetch_no",
       ToFetch().SendRaw(Item(1, kForeign1) + Item(2, kOwn)).Send("a4 NO [SERVERBUG] failed")
           .RecordUntilClose(),
       "ERR IMAP4:a4 NO [SERVERBUG] failed (7)", kFetchLines},
      {"fetch_bad", ToFetch().Send("a4 BAD Error in IMAP command FETCH").RecordUntilClose(),
       "ERR IMAP4:a4 BAD Error in IMAP command FETCH (7)", kFetchLines, false},
      {"malformed_fetch",
       ToFetch().SendRaw(Item(1, kOwn)).Send("* x FETCH (FLAGS ())").RecordUntilClose(),
       "ERR IMAP4:malformed FETCH \"* x FETCH (FLAGS ())\" (7)", kFetchLines, false},
      {"stall_mid_fetch", ToFetch().SendRaw(Item(1, kOwn) + Item(2, kOwn)).RecordUntilClose(),
       "ERR IMAP4:connection timed out after 2 s (7)", kFetchLines, false},
      {"drop_mid_literal",
       ToFetch().SendRaw(Item(1, kOwn) + "* 2 FETCH (BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {40}"
                         "\r\nSubject: TESS").Drop(),
       "ERR IMAP4:read failed: Connection reset by peer (7)", kFetchLines, false},
      {"store_no",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 STORE").Send("a5 NO [CANNOT] read-only")
           .RecordUntilClose(),
       "ERR IMAP4:a5 NO [CANNOT] read-only (7)",
       Join(kFetchLines, {"a5 STORE 2 +FLAGS.SILENT (\\Deleted)"})},
      {"expunge_no",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("a6 NO expunge failed").RecordUntilClose(),
       "ERR IMAP4:a6 NO expunge failed (8)",
       Join(kFetchLines, {"a5 STORE 2 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE"})},
      // Header faults that are no failure. The X-Sender after a 1 MB
      // Subject still marks message 1 own, and the literal count stays
      // exact across it (message 2 is still found).
      {"one_mb_header_literal",
       ToFetch().SendRaw(Item(1, "Subject: " + LongLine(1 << 20) + "\r\nX-Sender: TESSIMOCom\r\n") +
                         Item(2, kOwn) + Item(3, kForeign3))
           .Send(fetched).Expect("a5 STORE").Send("a5 OK").Expect("a6 EXPUNGE").Send("a6 OK")
           .Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 STORE 1:2 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE", "a7 LOGOUT"})},
      {"eight_bit_subject",
       ToFetch().SendRaw(Item(1, "Subject: " + eight + "\r\n") + Item(2, kForeign3) + Item(3, ""))
           .Send(fetched).Expect("a5 LOGOUT").Send("a5 OK"),
       "ERR IMAP4: messages received with wrong subject (" + eight + "-bye)",
       Join(kFetchLines, {"a5 LOGOUT"})},
  };
}

// gtest prints the case by its name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Imap4OperationTest : public ::testing::TestWithParam<Case> {};

TEST_P(Imap4OperationTest, ResultAndTranscript) {
  const Case& c = GetParam();
  testing::ScriptRun run = testing::RunScript(c.script, [&](int port) {
    // The components end with the call: a connection still open closes
    // without EXPUNGE or LOGOUT.
    CaptureTraceSink trace;
    auto pop3 = NewPop3Client();
    auto imap4 = NewImap4Client();
    RetrieveOperations ops(*pop3, *imap4, trace);
    RetrieveArgs a;
    a.host = "127.0.0.1";
    a.port = port;
    a.user = "u";
    a.password = "p";
    a.mailbox = "Sent Items";
    a.subject = kSubject;
    a.timeout = kTimeout;
    a.only_delete_own = c.only_delete_own;
    a.mode = "TESSIMO";
    return ops.RetrieveMessagesImap4(a);
  });
  ASSERT_TRUE(run.done) << c.name;
  EXPECT_EQ(run.result, c.result) << c.name;
  EXPECT_LT(run.took, seconds(kTimeout + 1)) << c.name;
  EXPECT_EQ(run.transcript, c.transcript) << c.name;
  EXPECT_EQ(run.errors, Lines{}) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Script, Imap4OperationTest, ::testing::ValuesIn(Cases()),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace tessaly
