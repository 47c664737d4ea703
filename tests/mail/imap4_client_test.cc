// The IMAP4 retrieval over the real IMAP4 client against the scripted
// server on loopback: the exact commands of one operation (CAPABILITY,
// LOGIN, SELECT of a quoted name, one UID FETCH, one UID STORE over the
// decided messages, EXPUNGE or UID EXPUNGE, LOGOUT), and the faults a real
// server does not produce on demand (NO and BAD, a malformed EXISTS or
// FETCH, an EXPUNGE mid-FETCH, a literal that does not end where its size
// says, a stall mid-FETCH, a drop mid-literal, a 1 MB header literal, 8-bit
// bytes, LOGINDISABLED). Those cases run with the client's search off, as
// against a server that does not search; the search cases after them show
// the UID SEARCH that travels with the SELECT, the fetch of the candidates
// only, the fallback to every message, and a search answer holding UIDs
// that are not among the counted messages. A failure must end within the
// time-out plus one second with its exact text, and never flag or expunge a
// message the rules did not mark. UIDs differ from the message numbers
// throughout, so a number sent where a UID belongs shows in the transcript.
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
using testing::ScriptServer;
using testing::ServerScript;
using Lines = std::vector<std::string>;

constexpr std::int16_t kTimeout = 2;  // seconds

const std::string kFetch = "a4 UID FETCH 1:* (UID BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])";
const std::string kLogin = "a2 LOGIN \"u\" \"p\"";
const Lines kLoginLines = {"a1 CAPABILITY", kLogin};
const Lines kSelectLines = {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\""};
const Lines kFetchLines = {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\"", kFetch};
Lines Join(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The LOGIN reply with the capabilities after login: with UIDPLUS the
// client expunges only its own messages.
const std::string kLoggedIn = "a2 OK [CAPABILITY IMAP4rev1 LITERAL+] Logged in";
const std::string kLoggedInUidplus = "a2 OK [CAPABILITY IMAP4rev1 LITERAL+ UIDPLUS] Logged in";

// Greeting, CAPABILITY and LOGIN as far as the LOGIN command.
ServerScript ToLogin() {
  ServerScript s;
  s.Send("* OK ready").Expect("a1 CAPABILITY").Send("* CAPABILITY IMAP4rev1 LITERAL+")
      .Send("a1 OK done").Expect("a2 LOGIN");
  return s;
}
// ... and on to the SELECT command.
ServerScript ToSelect(const std::string& logged_in = kLoggedIn) {
  ServerScript s = ToLogin();
  s.Send(logged_in).Expect("a3 SELECT");
  return s;
}
const char* const kSelected[] = {"* FLAGS (\\Deleted \\Seen)", "* 3 EXISTS", "* 0 RECENT",
                                 "a3 OK [READ-WRITE] selected"};
// ... and on to the FETCH command, with three messages in the mailbox.
ServerScript ToFetch(const std::string& logged_in = kLoggedIn) {
  ServerScript s = ToSelect(logged_in);
  for (const char* line : kSelected) s.Send(line);
  s.Expect("a4 UID FETCH");
  return s;
}

// One FETCH response carrying header fields as a literal: message number
// n with UID uid.
std::string Item(int n, int uid, const std::string& fields) {
  const std::string literal = fields + "\r\n";
  return "* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) +
         " BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {" + std::to_string(literal.size()) + "}\r\n" +
         literal + ")\r\n";
}

// A foreign message, the control mail (message 2, the check's own) and
// another foreign message, with UIDs 101 to 103.
const std::string kSubject = "TESSIMO 42";
const std::string kForeign1 = "Subject: hello\r\n";
const std::string kOwn = "Subject: TESSIMO 42\r\nX-Sender: TESSIMOCom\r\n";
const std::string kForeign3 = "Subject: bye\r\n";
const std::string kMailbox = Item(1, 101, kForeign1) + Item(2, 102, kOwn) + Item(3, 103, kForeign3);

// The first FETCH response of the mailbox with a literal of `announced`
// bytes holding `data`: the literal does not end where its size says.
std::string MisplacedLiteral(std::size_t announced, const std::string& data) {
  return "* 1 FETCH (UID 101 BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {" +
         std::to_string(announced) + "}\r\n" + data;
}
// Message 1 whose literal claims the next response too: read by its size,
// message 1 would carry message 2's X-Sender.
const std::string kSwallowing = [] {
  const std::string item2 = Item(2, 102, kOwn);
  const std::string swallowed = kForeign1 + ")\r\n" + item2.substr(0, item2.size() - 3);
  return MisplacedLiteral(swallowed.size(), swallowed) + ")\r\n" + Item(3, 103, kForeign3);
}();
// Message 1 whose literal stops short in its own field.
const std::string kStopsShort = MisplacedLiteral(9, kForeign1 + "\r\n)\r\n") +
                                Item(2, 102, kOwn) + Item(3, 103, kForeign3);

// The search the client sends with the SELECT for the subject sought, with
// only-delete on (own messages by X-Sender) and off.
const std::string kSearchOwn =
    "a4 UID SEARCH OR SUBJECT \"TESSIMO 42\" HEADER X-Sender \"TESSIMOCom\"";
const std::string kSearchSubject = "a4 UID SEARCH SUBJECT \"TESSIMO 42\"";
const std::string kItems = " (UID BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])";
const Lines kSearchLines = {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\"", kSearchOwn};
const Lines kSearchSubjectLines = {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\"",
                                   kSearchSubject};

// Login, then the SELECT and the search read as one flight before any
// reply: a client that waited for the SELECT's reply would stall here. The
// mailbox holds three messages, UIDs 101 to 103, and the next UID is 104
// (no UIDNEXT with uid_next false). A search with a literal takes two lines.
ServerScript ToSearch(const std::string& logged_in = kLoggedInUidplus, bool uid_next = true,
                      int search_lines = 1) {
  ServerScript s = ToSelect(logged_in);
  s.Expect("a4 UID SEARCH");
  for (int i = 1; i < search_lines; ++i) s.Expect();
  for (const char* line : kSelected) {
    if (uid_next && std::string(line).rfind("a3 ", 0) == 0) {
      s.Send("* OK [UIDNEXT 104] Predicted next UID");
    }
    s.Send(line);
  }
  return s;
}

// A search the client cannot use, answered by script: every message is
// fetched, and the control mail alone is flagged and removed by UID.
ServerScript FetchesEverything(ServerScript script) {
  script.Expect("a5 UID FETCH 1:*").SendRaw(kMailbox).Send("a5 OK").Expect("a6 UID STORE")
      .Send("a6 OK").Expect("a7 UID EXPUNGE").Send("a7 OK").Expect("a8 LOGOUT").Send("a8 OK");
  return script;
}
const Lines kFetchedEverythingLines =
    Join(kSearchLines, {"a5 UID FETCH 1:*" + kItems, "a6 UID STORE 102 +FLAGS.SILENT (\\Deleted)",
                        "a7 UID EXPUNGE 102", "a8 LOGOUT"});

// " first first+step ..." with n numbers: a search answer's list.
std::string SearchNumbers(int n, int first, int step) {
  std::string out;
  for (int i = 0; i < n; ++i) out += " " + std::to_string(first + i * step);
  return out;
}

struct Case {
  const char* name;
  ServerScript script;
  std::string result;
  Lines transcript;  // every command the client sent, over the whole run
  bool only_delete_own = true;
  bool ssl = false;
  bool search = false;  // the client's search on
  std::string subject = kSubject;
};

std::vector<Case> Cases() {
  const std::string fetched = "a4 OK Fetch completed.";
  const std::string eight = "x" + EightBitBytes();
  const std::string store102 = "a5 UID STORE 102 +FLAGS.SILENT (\\Deleted)";
  const std::string store_all = "a5 UID STORE 101:103 +FLAGS.SILENT (\\Deleted)";
  return {
      // Transcripts.
      {"one_operation",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 UID STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("* 2 EXPUNGE").Send("a6 OK").Expect("a7 LOGOUT")
           .Send("* BYE").Send("a7 OK"),
       "OK", Join(kFetchLines, {store102, "a6 EXPUNGE", "a7 LOGOUT"})},
      // With UIDPLUS only the flagged UIDs are expunged; ranges cover
      // consecutive UIDs only.
      {"uidplus",
       ToFetch(kLoggedInUidplus)
           .SendRaw(Item(1, 101, kForeign1) + Item(2, 102, kOwn) + Item(3, 105, kForeign3))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 UID EXPUNGE")
           .Send("* 2 EXPUNGE").Send("* 1 EXPUNGE").Send("* 1 EXPUNGE").Send("a6 OK")
           .Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 UID STORE 101:102,105 +FLAGS.SILENT (\\Deleted)",
                          "a6 UID EXPUNGE 101:102,105", "a7 LOGOUT"}),
       false},
      {"delete_all",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 UID STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK", Join(kFetchLines, {store_all, "a6 EXPUNGE", "a7 LOGOUT"}), false},
      {"nothing_to_flag",
       ToFetch().SendRaw(Item(1, 101, kForeign1) + Item(2, 102, kForeign3) + Item(3, 103, ""))
           .Send(fetched).Expect("a5 LOGOUT").Send("a5 OK"),
       "ERR IMAP4: messages received with wrong subject (hello-bye)",
       Join(kFetchLines, {"a5 LOGOUT"})},
      {"empty_mailbox",
       ToSelect().Send("* 0 EXISTS").Send("a3 OK").Expect("a4 LOGOUT").Send("a4 OK"),
       "ERR IMAP4: no messages received", Join(kSelectLines, {"a4 LOGOUT"})},
      // Capabilities in the greeting save the CAPABILITY command; a LOGIN
      // reply without them makes the client ask after login.
      {"capabilities_from_greeting_and_after_login",
       ServerScript().Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready").Expect("a1 LOGIN")
           .Send("a1 OK Logged in").Expect("a2 CAPABILITY")
           .Send("* CAPABILITY IMAP4rev1 UIDPLUS").Send("a2 OK").Expect("a3 SELECT")
           .Send("* 1 EXISTS").Send("a3 OK").Expect("a4 UID FETCH").SendRaw(Item(1, 7, kOwn))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 UID EXPUNGE")
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       {"a1 LOGIN \"u\" \"p\"", "a2 CAPABILITY", "a3 SELECT \"Sent Items\"", kFetch,
        "a5 UID STORE 7 +FLAGS.SILENT (\\Deleted)", "a6 UID EXPUNGE 7", "a7 LOGOUT"}},
      // Flag updates, repeats of a UID and numbers beyond the count are no
      // messages to decide: the repeat of UID 101 does not make it own.
      {"unsolicited_fetch",
       ToFetch().SendRaw(Item(1, 101, kForeign1) + "* 1 FETCH (FLAGS (\\Seen))\r\n" +
                         Item(1, 101, kOwn) + Item(2, 102, kOwn) + Item(9, 109, kOwn) +
                         Item(3, 103, kForeign3))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 EXPUNGE")
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK", Join(kFetchLines, {store102, "a6 EXPUNGE", "a7 LOGOUT"})},
      // Another client removes message 1 mid-FETCH: the numbers after it
      // move down, the decision for UID 102 stays with UID 102, and the
      // message that arrived meanwhile (now number 3) is beyond the count.
      {"expunge_mid_fetch",
       ToFetch().SendRaw(Item(1, 101, kForeign1) + "* 1 EXPUNGE\r\n" + Item(1, 102, kOwn) +
                         Item(2, 103, kForeign3) + "* 3 EXISTS\r\n" + Item(3, 104, kOwn))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 EXPUNGE")
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK", Join(kFetchLines, {store102, "a6 EXPUNGE", "a7 LOGOUT"})},
      {"expunge_mid_fetch_delete_all",
       ToFetch().SendRaw(Item(1, 101, kForeign1) + "* 1 EXPUNGE\r\n" + Item(1, 102, kOwn) +
                         Item(2, 103, kForeign3) + "* 3 EXISTS\r\n" + Item(3, 104, kOwn))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 EXPUNGE")
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK", Join(kFetchLines, {store_all, "a6 EXPUNGE", "a7 LOGOUT"}), false},
      // Other servers' forms: Courier quotes the field names, the UID may
      // follow the literal, Mailutils upper-cases field names and answers
      // EXPUNGE with "EXPUNGED", Cyrus sends FETCH after a silent STORE.
      {"other_servers",
       ToFetch(kLoggedInUidplus)
           .SendRaw("* 1 FETCH (BODY[HEADER.FIELDS (\"SUBJECT\" \"X-SENDER\")] {16}\r\n"
                    "Subject: hello\r\n UID 101)\r\n"
                    "* 2 FETCH (BODY[HEADER.FIELDS (\"SUBJECT\" \"X-SENDER\")] {45}\r\n"
                    "SUBJECT: TESSIMO 42\r\nX-SENDER: TESSIMOCom\r\n\r\n"
                    " UID 102 FLAGS (\\Seen))\r\n")
           .Send("* 3 FETCH (UID 103 BODY[HEADER.FIELDS (SUBJECT X-SENDER)] \"\")")
           .Send(fetched).Expect("a5 UID STORE").Send("* 2 FETCH (FLAGS (\\Seen \\Deleted))")
           .Send("a5 OK").Expect("a6 UID EXPUNGE").Send("* 2 EXPUNGED").Send("a6 OK")
           .Expect("a7 LOGOUT").Send("a7 OK"),
       "OK", Join(kFetchLines, {store102, "a6 UID EXPUNGE 102", "a7 LOGOUT"})},

      // Faults.
      {"no_greeting", ServerScript().RecordUntilClose(),
       "ERR IMAP4:connection timed out after 2 s (3)", {}},
      {"login_no",
       ToLogin().Send("a2 NO [AUTHENTICATIONFAILED] Authentication failed.").RecordUntilClose(),
       "ERR IMAP4:a2 NO [AUTHENTICATIONFAILED] Authentication failed. (3)", kLoginLines},
      {"login_bad", ToLogin().Send("a2 BAD Error in IMAP command").RecordUntilClose(),
       "ERR IMAP4:a2 BAD Error in IMAP command (3)", kLoginLines},
      // LOGINDISABLED without TLS: no LOGIN, so no password on the wire.
      {"logindisabled_in_greeting",
       ServerScript().Send("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready")
           .RecordUntilClose(),
       "ERR IMAP4:server refuses login without TLS; turn SSL on (3)", {}},
      {"logindisabled_in_capability",
       ServerScript().Send("* OK ready").Expect("a1 CAPABILITY")
           .Send("* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED").Send("a1 OK")
           .RecordUntilClose(),
       "ERR IMAP4:server refuses login without TLS; turn SSL on (3)", {"a1 CAPABILITY"}},
      // After STARTTLS the capabilities are read again: LOGINDISABLED from
      // before TLS no longer holds. (The client drops a TLS connection
      // without close_notify, so these scripts end before it does.)
      {"starttls_reads_capabilities_again",
       ServerScript().Send("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready")
           .Expect("a1 STARTTLS").Send("a1 OK Begin TLS").StartTls().Expect("a2 CAPABILITY")
           .Send("* CAPABILITY IMAP4rev1 AUTH=PLAIN").Send("a2 OK").Expect("a3 LOGIN")
           .Send("a3 NO [AUTHENTICATIONFAILED] Authentication failed."),
       "ERR IMAP4:a3 NO [AUTHENTICATIONFAILED] Authentication failed. (3)",
       {"a1 STARTTLS", "a2 CAPABILITY", "a3 LOGIN \"u\" \"p\""}, true, true},
      {"logindisabled_after_starttls",
       ServerScript().Send("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready").Expect("a1 STARTTLS")
           .Send("a1 OK Begin TLS").StartTls().Expect("a2 CAPABILITY")
           .Send("* CAPABILITY IMAP4rev1 LOGINDISABLED").Send("a2 OK"),
       "ERR IMAP4:server refuses LOGIN (LOGINDISABLED) (3)", {"a1 STARTTLS", "a2 CAPABILITY"},
       true, true},
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
       ToFetch().SendRaw(Item(1, 101, kForeign1) + Item(2, 102, kOwn))
           .Send("a4 NO [SERVERBUG] failed").RecordUntilClose(),
       "ERR IMAP4:a4 NO [SERVERBUG] failed (7)", kFetchLines},
      {"fetch_bad", ToFetch().Send("a4 BAD Error in IMAP command FETCH").RecordUntilClose(),
       "ERR IMAP4:a4 BAD Error in IMAP command FETCH (7)", kFetchLines, false},
      {"malformed_fetch",
       ToFetch().SendRaw(Item(1, 101, kOwn)).Send("* x FETCH (FLAGS ())").RecordUntilClose(),
       "ERR IMAP4:malformed FETCH \"* x FETCH (FLAGS ())\" (7)", kFetchLines, false},
      {"malformed_expunge",
       ToFetch().SendRaw(Item(1, 101, kOwn)).Send("* 0 EXPUNGE").RecordUntilClose(),
       "ERR IMAP4:malformed EXPUNGE \"* 0 EXPUNGE\" (7)", kFetchLines, false},
      {"fetch_without_uid",
       ToFetch().SendRaw("* 1 FETCH (BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {2}\r\n\r\n)\r\n")
           .RecordUntilClose(),
       "ERR IMAP4:FETCH reply without UID \"* 1 FETCH (BODY[HEADER.FIELDS (SUBJECT X-SENDER)] "
       "{2}\" (7)",
       kFetchLines, false},
      {"uid_zero",
       ToFetch().SendRaw(Item(1, 0, kOwn)).RecordUntilClose(),
       "ERR IMAP4:malformed FETCH \"* 1 FETCH (UID 0 BODY[HEADER.FIELDS (SUBJECT X-SENDER)] "
       "{45}\" (7)",
       kFetchLines, false},
      // A literal whose size does not match its data flags nothing.
      {"literal_larger_than_data", ToFetch().SendRaw(kSwallowing).Send(fetched).RecordUntilClose(),
       "ERR IMAP4:FETCH literal does not end where announced: \")\" (7)", kFetchLines},
      {"literal_smaller_than_data", ToFetch().SendRaw(kStopsShort).Send(fetched).RecordUntilClose(),
       "ERR IMAP4:FETCH literal does not end where announced: \"hello\" (7)", kFetchLines, false},
      {"stall_mid_fetch",
       ToFetch().SendRaw(Item(1, 101, kOwn) + Item(2, 102, kOwn)).RecordUntilClose(),
       "ERR IMAP4:connection timed out after 2 s (7)", kFetchLines, false},
      // SSL on a port that is not the well-known one: a server that does
      // not greet gets TLS from the first byte.
      {"tls_from_the_first_byte",
       ServerScript().StartTls().Send("* OK [CAPABILITY IMAP4rev1] ready").Expect("a1 LOGIN")
           .Send("a1 OK [CAPABILITY IMAP4rev1] in").Expect("a2 SELECT").Send("* 0 EXISTS")
           .Send("a2 OK selected").Expect("a3 LOGOUT").Send("a3 OK"),
       "ERR IMAP4: no messages received", {"a1 LOGIN \"u\" \"p\"", "a2 SELECT \"Sent Items\"",
                                        "a3 LOGOUT"},
       true, true},
      {"silent_with_ssl", ServerScript().Stall(std::chrono::milliseconds(2500)),
       "ERR IMAP4:no greeting within 500 ms and no TLS from the first byte either: connection "
       "timed out after 2 s (3)",
       {}, true, true},
      {"drop_mid_literal",
       ToFetch().SendRaw(Item(1, 101, kOwn) +
                         "* 2 FETCH (UID 102 BODY[HEADER.FIELDS (SUBJECT X-SENDER)] {40}"
                         "\r\nSubject: TESS").Drop(),
       "ERR IMAP4:read failed: Connection reset by peer (7)", kFetchLines, false},
      {"store_no",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 UID STORE")
           .Send("a5 NO [CANNOT] read-only").RecordUntilClose(),
       "ERR IMAP4:a5 NO [CANNOT] read-only (7)", Join(kFetchLines, {store102})},
      {"expunge_no",
       ToFetch().SendRaw(kMailbox).Send(fetched).Expect("a5 UID STORE").Send("a5 OK")
           .Expect("a6 EXPUNGE").Send("a6 NO expunge failed").RecordUntilClose(),
       "ERR IMAP4:a6 NO expunge failed (8)", Join(kFetchLines, {store102, "a6 EXPUNGE"})},
      // Header faults that are no failure. The X-Sender after a 1 MB
      // Subject still marks message 1 own, and the literal count stays
      // exact across it (message 2 is still found).
      {"one_mb_header_literal",
       ToFetch().SendRaw(Item(1, 101, "Subject: " + LongLine(1 << 20) +
                                          "\r\nX-Sender: TESSIMOCom\r\n") +
                         Item(2, 102, kOwn) + Item(3, 103, kForeign3))
           .Send(fetched).Expect("a5 UID STORE").Send("a5 OK").Expect("a6 EXPUNGE")
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "OK",
       Join(kFetchLines, {"a5 UID STORE 101:102 +FLAGS.SILENT (\\Deleted)", "a6 EXPUNGE",
                          "a7 LOGOUT"})},
      {"eight_bit_subject",
       ToFetch().SendRaw(Item(1, 101, "Subject: " + eight + "\r\n") + Item(2, 102, kForeign3) +
                         Item(3, 103, ""))
           .Send(fetched).Expect("a5 LOGOUT").Send("a5 OK"),
       "ERR IMAP4: messages received with wrong subject (" + eight + "-bye)",
       Join(kFetchLines, {"a5 LOGOUT"})},

      // The search. The control mail found: only its header fields are
      // fetched, and it alone is flagged and expunged.
      {"search_finds_the_control_mail",
       ToSearch().Send("* SEARCH 102").Send("a4 OK Search completed").Expect("a5 UID FETCH")
           .SendRaw(Item(2, 102, kOwn)).Send("a5 OK").Expect("a6 UID STORE").Send("a6 OK")
           .Expect("a7 UID EXPUNGE").Send("* 2 EXPUNGE").Send("a7 OK").Expect("a8 LOGOUT")
           .Send("a8 OK"),
       "OK",
       Join(kSearchLines, {"a5 UID FETCH 102" + kItems,
                           "a6 UID STORE 102 +FLAGS.SILENT (\\Deleted)", "a7 UID EXPUNGE 102",
                           "a8 LOGOUT"}),
       true, false, true},
      // With only-delete off every counted message is flagged, by the UID
      // range below UIDNEXT, without fetching any of the others.
      {"search_delete_all_by_uid_range",
       ToSearch().Send("* SEARCH 102").Send("a4 OK").Expect("a5 UID FETCH")
           .SendRaw(Item(2, 102, kOwn)).Send("a5 OK").Expect("a6 UID STORE").Send("a6 OK")
           .Expect("a7 UID EXPUNGE").Send("a7 OK").Expect("a8 LOGOUT").Send("a8 OK"),
       "OK",
       Join(kSearchSubjectLines, {"a5 UID FETCH 102" + kItems,
                                  "a6 UID STORE 1:103 +FLAGS.SILENT (\\Deleted)",
                                  "a7 UID EXPUNGE 1:103", "a8 LOGOUT"}),
       false, false, true},
      // Without UIDNEXT the UID of the last counted message bounds the range.
      {"search_delete_all_without_uidnext",
       ToSearch(kLoggedInUidplus, false).Send("* SEARCH 102").Send("a4 OK")
           .Expect("a5 UID FETCH").SendRaw(Item(2, 102, kOwn)).Send("a5 OK")
           .Expect("a6 FETCH 3 (UID)").Send("* 3 FETCH (UID 105)").Send("a6 OK")
           .Expect("a7 UID STORE").Send("a7 OK").Expect("a8 UID EXPUNGE").Send("a8 OK")
           .Expect("a9 LOGOUT").Send("a9 OK"),
       "OK",
       Join(kSearchSubjectLines, {"a5 UID FETCH 102" + kItems, "a6 FETCH 3 (UID)",
                                  "a7 UID STORE 1:105 +FLAGS.SILENT (\\Deleted)",
                                  "a8 UID EXPUNGE 1:105", "a9 LOGOUT"}),
       false, false, true},
      // Only near misses found (the server's search ignores case and finds
      // substrings): every message is fetched for the wrong-subject list,
      // which names each subject once, in mailbox order.
      {"search_near_miss_then_every_subject",
       ToSearch().Send("* SEARCH 102").Send("a4 OK").Expect("a5 UID FETCH")
           .SendRaw(Item(2, 102, "Subject: tessimo 421\r\n")).Send("a5 OK")
           .Expect("a6 UID FETCH 1:*")
           .SendRaw(Item(1, 101, kForeign1) + Item(2, 102, "Subject: tessimo 421\r\n") +
                    Item(3, 103, kForeign3))
           .Send("a6 OK").Expect("a7 LOGOUT").Send("a7 OK"),
       "ERR IMAP4: messages received with wrong subject (hello-tessimo 421-bye)",
       Join(kSearchLines, {"a5 UID FETCH 102" + kItems, "a6 UID FETCH 1:*" + kItems,
                           "a7 LOGOUT"}),
       true, false, true},
      // A refused search, or an answer the client cannot use in full (a
      // number that is no UID), means fetching every message.
      {"search_refused_fetches_everything",
       FetchesEverything(
           ToSearch().Send("a4 BAD Error in IMAP command UID SEARCH: Invalid search key")),
       "OK", kFetchedEverythingLines, true, false, true},
      {"search_answer_unusable_fetches_everything",
       FetchesEverything(ToSearch().Send("* SEARCH 102 0").Send("a4 OK")), "OK",
       kFetchedEverythingLines, true, false, true},
      // Too many candidates for a narrowed fetch to pay: more than 1000,
      // or a UID set longer than 4000 bytes (700 UIDs with gaps).
      {"search_too_many_candidates",
       FetchesEverything(ToSearch().Send("* SEARCH" + SearchNumbers(1001, 1, 1)).Send("a4 OK")),
       "OK", kFetchedEverythingLines, true, false, true},
      {"search_candidate_set_too_long",
       FetchesEverything(
           ToSearch().Send("* SEARCH" + SearchNumbers(700, 10000, 2)).Send("a4 OK")),
       "OK", kFetchedEverythingLines, true, false, true},
      // UIDs in the answer that are not among the counted messages: 7 and
      // 999 do not exist, 104 arrived after the SELECT (number 4). None is
      // decided or flagged, though 104 carries the check's X-Sender.
      {"search_uids_outside_the_mailbox",
       ToSearch().Send("* SEARCH 7 102 104 999").Send("a4 OK").Expect("a5 UID FETCH")
           .SendRaw(Item(2, 102, kOwn) + "* 4 EXISTS\r\n" + Item(4, 104, kOwn)).Send("a5 OK")
           .Expect("a6 UID STORE").Send("a6 OK").Expect("a7 UID EXPUNGE").Send("a7 OK")
           .Expect("a8 LOGOUT").Send("a8 OK"),
       "OK",
       Join(kSearchLines, {"a5 UID FETCH 7,102,104,999" + kItems,
                           "a6 UID STORE 102 +FLAGS.SILENT (\\Deleted)", "a7 UID EXPUNGE 102",
                           "a8 LOGOUT"}),
       true, false, true},
      // Quotes and backslashes are escaped in the quoted string.
      {"search_quoted_specials",
       ToSearch().Send("* SEARCH").Send("a4 OK").Expect("a5 UID FETCH 1:*")
           .SendRaw(Item(1, 101, kForeign1)).Send("a5 OK").Expect("a6 LOGOUT").Send("a6 OK"),
       "ERR IMAP4: messages received with wrong subject (hello)",
       {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\"",
        "a4 UID SEARCH OR SUBJECT \"TESSIMO \\\"42\\\" \\\\x\" HEADER X-Sender \"TESSIMOCom\"",
        "a5 UID FETCH 1:*" + kItems, "a6 LOGOUT"},
       true, false, true, "TESSIMO \"42\" \\x"},
      // An 8-bit subject goes as a literal that needs no wait (LITERAL+);
      // without LITERAL+ no search is sent and every message is fetched.
      {"search_eight_bit_literal_plus",
       ToSearch(kLoggedInUidplus, true, 2).Send("* SEARCH").Send("a4 OK")
           .Expect("a5 UID FETCH 1:*").SendRaw(Item(1, 101, kForeign1)).Send("a5 OK")
           .Expect("a6 LOGOUT").Send("a6 OK"),
       "ERR IMAP4: messages received with wrong subject (hello)",
       {"a1 CAPABILITY", kLogin, "a3 SELECT \"Sent Items\"",
        "a4 UID SEARCH CHARSET UTF-8 OR SUBJECT {13+}",
        "TESSIMO \xC3\xA9 42 HEADER X-Sender \"TESSIMOCom\"", "a5 UID FETCH 1:*" + kItems,
        "a6 LOGOUT"},
       true, false, true, "TESSIMO \xC3\xA9 42"},
      {"search_eight_bit_without_literal_plus",
       ToSelect("a2 OK [CAPABILITY IMAP4rev1] Logged in").Send("* 1 EXISTS").Send("a3 OK")
           .Expect("a4 UID FETCH 1:*").SendRaw(Item(1, 101, kForeign1)).Send("a4 OK")
           .Expect("a5 LOGOUT").Send("a5 OK"),
       "ERR IMAP4: messages received with wrong subject (hello)",
       Join(kSelectLines, {"a4 UID FETCH 1:*" + kItems, "a5 LOGOUT"}), true, false, true,
       "TESSIMO \xC3\xA9 42"},
      // A refused SELECT: the search that went with it is refused too, and
      // the SELECT's text is the result.
      {"search_with_refused_select",
       ToSelect().Expect("a4 UID SEARCH").Send("a3 NO Mailbox doesn't exist: Sent Items")
           .Send("a4 BAD No mailbox selected").RecordUntilClose(),
       "ERR IMAP4:a3 NO Mailbox doesn't exist: Sent Items (4)", kSearchLines, true, false, true},
      {"search_stalls",
       ToSearch().RecordUntilClose(), "ERR IMAP4:connection timed out after 2 s (4)",
       kSearchLines, true, false, true},
  };
}

RetrieveArgs Args(int port, bool only_delete_own, bool ssl) {
  RetrieveArgs a;
  a.host = "127.0.0.1";
  a.port = port;
  a.user = "u";
  a.password = "p";
  a.mailbox = "Sent Items";
  a.subject = kSubject;
  a.timeout = kTimeout;
  a.only_delete_own = only_delete_own;
  a.ssl = ssl;
  a.mode = "TESSIMO";
  return a;
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
    Imap4ClientOptions options;
    options.narrow_by_search = c.search;
    auto imap4 = NewImap4Client(options);
    RetrieveOperations ops(*pop3, *imap4, trace);
    RetrieveArgs a = Args(port, c.only_delete_own, c.ssl);
    a.subject = c.subject;
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

// The one-message-at-a-time calls flag by UID too, and only a message set
// that was fetched: a flag never goes to a number whose message was not
// examined.
TEST(Imap4MessageSet, FlagsWhatTheFetchExamined) {
  ServerScript script = ToSelect();
  for (const char* line : kSelected) script.Send(line);
  script.Expect("a4 FETCH 2").SendRaw(Item(2, 102, kOwn)).Send("a4 OK").Expect("a5 UID STORE")
      .Send("a5 OK").Expect("a6 LOGOUT").Send("a6 OK");
  ScriptServer server(script);
  auto imap4 = NewImap4Client();
  imap4->SetMailPort(server.port());
  imap4->SetMailServer("127.0.0.1");
  imap4->SetUser("u");
  imap4->SetPassword("p");
  ASSERT_TRUE(imap4->SetSslStartMode(3).ok());
  imap4->SetTimeout(kTimeout);
  ASSERT_TRUE(imap4->Connect().ok());
  imap4->SetMailbox("\"Sent Items\"");
  ASSERT_TRUE(imap4->SelectMailbox().ok());
  ASSERT_TRUE(imap4->SetMessageSet("2").ok());
  Status s = imap4->DeleteFromMailbox();
  EXPECT_EQ(s.message(), "message set not fetched");
  ASSERT_TRUE(imap4->FetchHeaders().ok());
  EXPECT_EQ(imap4->Subject(), kSubject);
  ASSERT_TRUE(imap4->DeleteFromMailbox().ok());
  ASSERT_TRUE(imap4->SetMessageSet("3").ok());
  EXPECT_FALSE(imap4->DeleteFromMailbox().ok());
  EXPECT_TRUE(imap4->Disconnect().ok());
  ASSERT_TRUE(server.WaitDone(seconds(5)));
  EXPECT_EQ(server.Transcript(),
            Join(kSelectLines, {"a4 FETCH 2 (UID BODY.PEEK[HEADER.FIELDS (SUBJECT X-SENDER)])",
                                "a5 UID STORE 102 +FLAGS.SILENT (\\Deleted)", "a6 LOGOUT"}));
  EXPECT_EQ(server.Errors(), Lines{});
}

// Asked for the delivery fields, the fetch reads the control mail's Date and
// Received fields with one more UID FETCH that goes out with the STORE,
// before the STORE is answered: no round trip of its own. A refusal of that
// fetch leaves the fields out and the operation's result as it was.
TEST(Imap4DeliveryFields, FetchedWithTheStore) {
  const std::string fields =
      "Received: from a by b; Fri, 11 Dec 2026 13:25:19 +0000\r\n"
      "Received: from c by a; Fri, 11 Dec 2026 13:25:12 +0000\r\nDate: Fri, 11 Dec 2026"
      " 13:25:09 +0000\r\n\r\n";
  const std::string answer = "* 2 FETCH (UID 102 BODY[HEADER.FIELDS (DATE RECEIVED)] {" +
                             std::to_string(fields.size()) + "}\r\n" + fields + ")\r\n";
  const std::string delivery = "a7 UID FETCH 102 (UID BODY.PEEK[HEADER.FIELDS (DATE RECEIVED)])";
  // The search finds the control mail; its delivery fields are asked for
  // in the same flight as the STORE, whether the STORE names the chosen
  // messages or, with only-delete off, every message by UID range.
  struct Reply {
    const char* name;
    bool only_delete_own;
    std::string reply;  // to the delivery fetch
    std::string date;
    int received;
  } cases[] = {
      {"own answered", true, answer + "a7 OK Fetch completed.", "Fri, 11 Dec 2026 13:25:09 +0000",
       2},
      {"own refused", true, "a7 NO not now", "", 0},
      {"every answered", false, answer + "a7 OK Fetch completed.",
       "Fri, 11 Dec 2026 13:25:09 +0000", 2},
  };
  for (const Reply& c : cases) {
    ServerScript script = ToSearch();
    script.Send("* SEARCH 102").Send("a4 OK").Expect("a5 UID FETCH").SendRaw(Item(2, 102, kOwn))
        .Send("a5 OK").Expect("a6 UID STORE").Expect("a7 UID FETCH").Send("a6 OK")
        .SendRaw(c.reply + "\r\n").Expect("a8 UID EXPUNGE").Send("a8 OK").Expect("a9 LOGOUT")
        .Send("a9 OK");
    OperationReport report;
    testing::ScriptRun run = testing::RunScript(script, [&](int port) {
      CaptureTraceSink trace;
      auto pop3 = NewPop3Client();
      auto imap4 = NewImap4Client();
      RetrieveOperations ops(*pop3, *imap4, trace);
      RetrieveArgs a = Args(port, c.only_delete_own, false);
      a.delivery_fields = true;
      std::string result = ops.RetrieveMessagesImap4(a);
      report = ops.report();
      return result;
    });
    ASSERT_TRUE(run.done) << c.name;
    EXPECT_EQ(run.result, "OK") << c.name;
    const std::string set = c.only_delete_own ? "102" : "1:103";
    EXPECT_EQ(run.transcript,
              Join(c.only_delete_own ? kSearchLines : kSearchSubjectLines,
                   {"a5 UID FETCH 102" + kItems,
                    "a6 UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", delivery,
                    "a8 UID EXPUNGE " + set, "a9 LOGOUT"}))
        << c.name;
    EXPECT_EQ(run.errors, Lines{}) << c.name;
    EXPECT_TRUE(report.found) << c.name;
    EXPECT_EQ(report.date, c.date) << c.name;
    EXPECT_EQ(report.received_fields, c.received) << c.name;
    EXPECT_EQ(report.examined, 1) << c.name;
    EXPECT_EQ(report.deleted, c.only_delete_own ? 1 : 3) << c.name;
    EXPECT_EQ(report.mechanism, "LOGIN") << c.name;
  }
}

// A user name or password that would break the command line is refused
// before the client connects at all: no byte of it reaches a server.
TEST(Imap4Credentials, LineBreaksAndNulAreNeverSent) {
  struct Cred {
    const char* name;
    std::string user, password, result;
  } cases[] = {
      {"user crlf", "u\r\na9 DELETE INBOX", "p", "ERR IMAP4:user name cannot be sent (3)"},
      {"password crlf", "u", "p\r\na9 DELETE INBOX", "ERR IMAP4:password cannot be sent (3)"},
      {"password lf", "u", "p\nx", "ERR IMAP4:password cannot be sent (3)"},
      {"password cr", "u", "p\rx", "ERR IMAP4:password cannot be sent (3)"},
      {"password nul", "u", std::string("p\0x", 3), "ERR IMAP4:password cannot be sent (3)"},
  };
  for (const Cred& c : cases) {
    ScriptServer server(ToSelect());
    CaptureTraceSink trace;
    auto pop3 = NewPop3Client();
    auto imap4 = NewImap4Client();
    RetrieveOperations ops(*pop3, *imap4, trace);
    RetrieveArgs a = Args(server.port(), true, false);
    a.user = c.user;
    a.password = c.password;
    EXPECT_EQ(ops.RetrieveMessagesImap4(a), c.result) << c.name;
    EXPECT_EQ(server.connections(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace tessaly
