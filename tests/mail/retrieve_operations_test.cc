#include "mail/retrieve_operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "check/vocab.h"
#include "mail/retrieval_state.h"
#include "support/fake_components.h"

namespace tessaly {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::FakeImap4Component;
using testing::FakeMessage;
using testing::FakePop3Component;
using testing::Msg;
using Lines = std::vector<std::string>;
using Numbers = std::vector<std::int32_t>;
constexpr std::nullopt_t kNone = std::nullopt;

RetrieveArgs Args(std::string mode, std::string subject, bool only_own, bool no_x_sender) {
  RetrieveArgs a;
  a.host = "mail.example.test";
  a.port = 110;
  a.user = "alice";
  a.password = "secret";
  a.mailbox = "INBOX";
  a.subject = std::move(subject);
  a.timeout = 10;
  a.only_delete_own = only_own;
  a.mode = std::move(mode);
  a.no_x_sender = no_x_sender;
  return a;
}

struct Fixture {
  FakePop3Component pop3;
  FakeImap4Component imap4;
  CaptureTraceSink trace;
  RetrieveOperations ops{pop3, imap4, trace};
};

// ---- POP3 header rules -----------------------------------------------------

struct Pop3Case {
  const char* name;
  const char* mode;
  bool only_own;
  bool no_x_sender;
  const char* subject;
  std::vector<FakeMessage> messages;
  const char* want_result;
  Numbers want_removed;
  Lines want_trace;
};

std::vector<Pop3Case> Pop3Cases() {
  return {
      {"second_matches_only_own_deleted", "TESSALY", true, false, "TESSALY 1",
       {Msg("foreign", kNone), Msg("TESSALY 1", "TESSALYCom")}, "OK", {2},
       {"POP3 SUBJECT :foreign", "Subject to find  : TESSALY 1", "Subject received : foreign",
        "SUBJECT not ok (foreign)", "POP3 SUBJECT :TESSALY 1", "Subject to find  : TESSALY 1",
        "Subject received : TESSALY 1", "Subject OK", "POP3 RECEIVED X-SENDER :TESSALYCom"}},
      {"only_delete_off_deletes_all", "TESSALY", false, false, "TESSALY 1",
       {Msg("foreign", "Other"), Msg("TESSALY 1", "TESSALYCom")}, "OK", {1, 2},
       {"POP3 SUBJECT :foreign", "Subject to find  : TESSALY 1", "Subject received : foreign",
        "SUBJECT not ok (foreign)", "POP3 RECEIVED X-SENDER :Other", "POP3 SUBJECT :TESSALY 1",
        "Subject to find  : TESSALY 1", "Subject received : TESSALY 1", "Subject OK",
        "POP3 RECEIVED X-SENDER :TESSALYCom"}},
      {"no_x_sender_marks_by_subject_substring", "TESSALY", true, true, "TESSALY 1",
       {Msg("foreign", "TESSALYCom"), Msg("Fwd: TESSALY 1 [ext]", kNone)}, "OK", {2},
       {"POP3 SUBJECT :foreign", "Subject to find  : TESSALY 1", "Subject received : foreign",
        "SUBJECT not ok (foreign)", "POP3 RECEIVED X-SENDER :TESSALYCom",
        "POP3 SUBJECT :Fwd: TESSALY 1 [ext]", "Subject to find  : TESSALY 1",
        "Subject received : Fwd: TESSALY 1 [ext]", "Subject OK"}},
      {"wrong_subject_list", "TESSALY", false, false, "TESSALY 1",
       {Msg("a", kNone), Msg("b", kNone)}, "ERR POP3: messages received with wrong subject (a-b)",
       {1, 2},
       {"POP3 SUBJECT :a", "Subject to find  : TESSALY 1", "Subject received : a",
        "SUBJECT not ok (a)", "POP3 SUBJECT :b", "Subject to find  : TESSALY 1",
        "Subject received : b", "SUBJECT not ok (b)"}},
      {"one_leading_dash_removed", "TESSALY", false, false, "TESSALY 1", {Msg("-a", kNone)},
       "ERR POP3: messages received with wrong subject (-a)", {1},
       {"POP3 SUBJECT :-a", "Subject to find  : TESSALY 1", "Subject received : -a",
        "SUBJECT not ok (-a)"}},
      {"match_without_x_sender_is_kept", "TESSALY", true, false, "TESSALY 1",
       {Msg("TESSALY 1", kNone)}, "OK", {},
       {"POP3 SUBJECT :TESSALY 1", "Subject to find  : TESSALY 1",
        "Subject received : TESSALY 1", "Subject OK"}},
      {"empty_subject_matches_any_subject", "TESSALY", true, false, "", {Msg("anything", kNone)},
       "OK", {},
       {"POP3 SUBJECT :anything", "Subject to find  : ", "Subject received : anything",
        "Subject OK"}},
      {"field_names_any_case", "TESSALY", true, false, "TESSALY 1",
       {FakeMessage{{{"subject", "TESSALY 1"}, {"x-SENDER", "TESSALYCom"}}}}, "OK", {1},
       {"POP3 SUBJECT :TESSALY 1", "Subject to find  : TESSALY 1",
        "Subject received : TESSALY 1", "Subject OK", "POP3 RECEIVED X-SENDER :TESSALYCom"}},
      {"pop3_mode_x_sender_only", "POP3", true, true, "",
       {Msg("TESSALY 1", kNone), Msg("x", "TESSALYCom")}, "OK", {2}, {}},
      {"pop3_mode_value_case_matters", "POP3", false, false, "",
       {Msg("TESSALY 1", "tessalycom")},
       "ERR POP3: messages received but not send by correct application. ()", {1},
       {"SUB REC: "}},
      {"empty_maildrop", "TESSALY", false, false, "TESSALY 1", {},
       "ERR POP3: no messages received", {}, {"ERR POP3: no messages received"}},
  };
}

class Pop3RulesTest : public ::testing::TestWithParam<Pop3Case> {};

TEST_P(Pop3RulesTest, ResultDeletionsAndTrace) {
  const Pop3Case& c = GetParam();
  Fixture f;
  f.pop3.messages = c.messages;
  std::string result =
      f.ops.RetrieveMessages(Args(c.mode, c.subject, c.only_own, c.no_x_sender));
  EXPECT_EQ(result, c.want_result) << c.name;
  EXPECT_THAT(f.pop3.removed, ElementsAreArray(c.want_removed)) << c.name;
  EXPECT_THAT(f.trace.lines(), ElementsAreArray(c.want_trace)) << c.name;
  EXPECT_FALSE(f.pop3.connected) << c.name;
  EXPECT_EQ(f.pop3.calls.back(), "Disconnect") << c.name;
}

INSTANTIATE_TEST_SUITE_P(All, Pop3RulesTest, ::testing::ValuesIn(Pop3Cases()),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(Pop3RetrieveTest, ConfiguresInOrderThenBatches) {
  Fixture f;
  f.pop3.messages = {Msg("a", kNone), Msg("b", kNone)};
  RetrieveArgs a = Args("TESSALY", "x", false, false);
  a.use_ipv6 = true;
  f.ops.RetrieveMessages(a);
  EXPECT_THAT(f.pop3.calls,
              ElementsAre("SetConfig UseIPv6=True", "SetMailPort 110",
                          "SetMailServer mail.example.test", "SetUser alice", "SetPassword secret",
                          "SetSslStartMode 3", "SetTimeout 10", "Connect", "MessageCount",
                          "MessageCount", "RetrieveEach 2", "Disconnect"));
}

// The report of a POP3 fetch: messages examined and deleted, and the
// delivery fields of the first message that proved arrival, never those of
// a message before or after it.
TEST(Pop3RetrieveTest, ReportTakesTheFirstControlMail) {
  auto with = [](FakeMessage m, std::string date, std::vector<std::string> received) {
    for (std::string& r : received) m.headers.emplace_back("Received", std::move(r));
    m.headers.emplace_back("date", std::move(date));
    return m;
  };
  Fixture f;
  f.pop3.messages = {with(Msg("hello", kNone), "d1", {"r1"}),
                     with(Msg("TESSALY 7", "TESSALYCom"), "d2", {"r2 top", "r2 next"}),
                     with(Msg("TESSALY 7", "TESSALYCom"), "d3", {"r3"})};
  f.ops.RetrieveMessages(Args("TESSALY", "TESSALY 7", true, false));
  const OperationReport r = f.ops.report();
  EXPECT_EQ(r.examined, 3);
  EXPECT_EQ(r.deleted, 2);
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.date, "d2");
  // Msg puts a Received field of its own first: the top one.
  EXPECT_EQ(r.received_fields, 3);
  EXPECT_EQ(r.top_received, "from relay by mx; Thu, 10 Dec 2026 14:00:00 +0000");

  Fixture none;
  none.pop3.messages = {with(Msg("hello", kNone), "d1", {"r1"})};
  none.ops.RetrieveMessages(Args("TESSALY", "TESSALY 7", true, false));
  EXPECT_FALSE(none.ops.report().found);
  EXPECT_EQ(none.ops.report().date, "");
}

TEST(Pop3RetrieveTest, TlsEventsTracedOnlyWithDebug) {
  for (bool debug : {false, true}) {
    Fixture f;
    f.pop3.messages = {Msg(kNone, "TESSALYCom")};
    RetrieveArgs a = Args("POP3", "", true, false);
    a.ssl = true;
    a.debug = debug;
    EXPECT_EQ(f.ops.RetrieveMessages(a), "OK") << debug;
    EXPECT_EQ(f.pop3.ssl_mode, 0) << debug;
    EXPECT_TRUE(f.pop3.certificate_accepted) << debug;
    Lines want;
    if (debug) {
      want = {"POP3 SSL Status:TLSv1.3 TLS_AES_256_GCM_SHA384", "<- POP3: +OK POP3 ready",
              "-> POP3: PASS ****"};
    }
    EXPECT_THAT(f.trace.lines(), ElementsAreArray(want)) << debug;
    EXPECT_EQ(f.ops.state().receive_debug, debug);
  }
}

// ---- POP3 failures -----------------------------------------------------------

struct FailCase {
  const char* name;
  const char* fail_on;
  std::int32_t fail_at_message;
  const char* want_result;
  bool want_connected;  // left open, with its marks
  Numbers want_marks;
};

class Pop3FailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(Pop3FailureTest, FailureTextNoDisconnectMarksStay) {
  const FailCase& c = GetParam();
  Fixture f;
  f.pop3.messages = {Msg("a", kNone), Msg("b", kNone), Msg("c", kNone)};
  f.pop3.fail_on = c.fail_on;
  f.pop3.fail_at_message = c.fail_at_message;
  std::string result = f.ops.RetrieveMessages(Args("TESSALY", "x", false, false));
  EXPECT_EQ(result, c.want_result) << c.name;
  EXPECT_EQ(f.pop3.connected, c.want_connected) << c.name;
  EXPECT_THAT(f.pop3.marks, ElementsAreArray(c.want_marks)) << c.name;
  EXPECT_THAT(f.pop3.removed, IsEmpty()) << c.name;
  // The component's error event is always traced.
  ASSERT_FALSE(f.trace.lines().empty()) << c.name;
  EXPECT_EQ(f.trace.lines().back(), "POP3 :7 -ERR injected failure") << c.name;
  if (std::string(c.fail_on) != "Disconnect") {
    EXPECT_NE(f.pop3.calls.back(), "Disconnect") << c.name;
  }

  // The next operation closes the left-over connection before configuring.
  f.pop3.fail_on.clear();
  f.pop3.fail_at_message = 0;
  f.pop3.calls.clear();
  f.ops.RetrieveMessages(Args("TESSALY", "x", true, false));
  EXPECT_EQ(f.pop3.calls.front(), c.want_connected ? "Disconnect" : "SetConfig UseIPv6=False")
      << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    All, Pop3FailureTest,
    ::testing::Values(
        FailCase{"config", "SetConfig", 0, "ERR POP3:-ERR injected failure (1)", false, {}},
        FailCase{"ssl_mode", "SetSslStartMode", 0, "ERR POP3:-ERR injected failure (2)", false, {}},
        FailCase{"connect", "Connect", 0, "ERR POP3:-ERR injected failure (3)", false, {}},
        FailCase{"count", "MessageCount", 0, "ERR POP3:-ERR injected failure (4)", true, {}},
        FailCase{"recount", "MessageCount#2", 0, "ERR POP3:-ERR injected failure (5)", true, {}},
        FailCase{"retrieve", "RetrieveEach", 0, "ERR POP3:-ERR injected failure (6)", true, {}},
        FailCase{"third_message", "", 3, "ERR POP3:-ERR injected failure (6)", true, {1, 2}},
        FailCase{"disconnect", "Disconnect", 0, "ERR POP3:-ERR injected failure (7)", false, {}}),
    [](const auto& i) { return std::string(i.param.name); });

// ---- CountMessages -----------------------------------------------------------

struct CountCase {
  const char* name;
  int messages;
  bool delete_all;
  const char* fail_on;
  std::int32_t fail_at_message;
  const char* want_result;
  std::size_t want_left;
  bool want_connected;
};

class CountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountTest, CountsAndDeletes) {
  const CountCase& c = GetParam();
  Fixture f;
  for (int i = 0; i < c.messages; ++i) f.pop3.messages.push_back(Msg("m", kNone));
  f.pop3.fail_on = c.fail_on;
  f.pop3.fail_at_message = c.fail_at_message;
  CountArgs a;
  a.host = "mail.example.test";
  a.port = 110;
  a.user = "alice";
  a.password = "secret";
  a.timeout = 10;
  a.delete_all = c.delete_all;
  EXPECT_EQ(f.ops.CountMessages(a), c.want_result) << c.name;
  EXPECT_EQ(f.pop3.messages.size(), c.want_left) << c.name;
  EXPECT_EQ(f.pop3.connected, c.want_connected) << c.name;
  EXPECT_EQ(f.pop3.calls.front(), "SetMailPort 110") << c.name;
  EXPECT_EQ(f.pop3.calls.at(1), "SetConfig UseIPv6=False") << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    All, CountTest,
    ::testing::Values(
        CountCase{"three", 3, false, "", 0, " 3 message(s) in this mailbox (alice)", 3, false},
        CountCase{"empty_is_success", 0, false, "", 0, " 0 message(s) in this mailbox (alice)", 0,
                  false},
        CountCase{"delete_all_reports_count_before", 3, true, "", 0,
                  " 3 message(s) in this mailbox (alice)", 0, false},
        CountCase{"delete_all_empty", 0, true, "", 0, " 0 message(s) in this mailbox (alice)", 0,
                  false},
        CountCase{"delete_fails_halfway", 3, true, "", 2, "ERR COUNT POP3:-ERR injected failure",
                  3, true},
        CountCase{"login_rejected", 3, false, "Connect", 0,
                  "ERR COUNT POP3:-ERR injected failure", 3, false},
        CountCase{"quit_fails", 3, true, "Disconnect", 0, "ERR COUNT POP3:-ERR injected failure",
                  3, false}),
    [](const auto& i) { return std::string(i.param.name); });

// ---- IMAP4 rules ---------------------------------------------------------------

struct Imap4Case {
  const char* name;
  const char* mode;
  bool only_own;
  bool no_x_sender;
  std::vector<FakeMessage> messages;
  const char* want_result;
  Numbers want_removed;
  bool want_expunge;
  // Whether every message is fetched although the server searched (the
  // list of a wrong-subject text needs every subject).
  bool want_full_fetch = false;
};

std::vector<Imap4Case> Imap4Cases() {
  return {
      {"second_matches_own_expunged", "TESSIMO", true, false,
       {Msg("foreign", kNone), Msg("TESSIMO 1", "TESSIMOCom")}, "OK", {2}, true},
      {"whole_text_equality", "TESSIMO", true, false, {Msg("Fwd: TESSIMO 1", "TESSIMOCom")},
       "ERR IMAP4: messages received with wrong subject (Fwd: TESSIMO 1)", {1}, true, true},
      {"only_delete_off_flags_all", "TESSIMO", false, false, {Msg("a", kNone), Msg("b", kNone)},
       "ERR IMAP4: messages received with wrong subject (a-b)", {1, 2}, true, true},
      {"nothing_own_no_expunge", "TESSIMO", true, false,
       {Msg("TESSIMO 1", "TESSALYCom"), Msg("b", kNone)}, "OK", {}, false},
      {"no_x_sender_marks_by_subject", "TESSIMO", true, true,
       {Msg("TESSIMO old", kNone), Msg("x", "TESSIMOCom")},
       "ERR IMAP4: messages received with wrong subject (TESSIMO old-x)", {1}, true, true},
      {"message_without_subject_not_listed", "TESSIMO", false, false,
       {Msg(kNone, kNone), Msg("a", kNone)},
       "ERR IMAP4: messages received with wrong subject (a)", {1, 2}, true, true},
      {"fetch_only_tessaly_sender", "IMAP4", true, false, {Msg("a", "TESSALYCom")}, "OK", {1},
       true},
      {"fetch_only_tessimo_sender", "IMAP4", true, true, {Msg("b", kNone), Msg("c", "TESSIMOCom")},
       "OK", {2}, true},
      {"fetch_only_foreign", "IMAP4", true, false, {Msg("a", "Other")},
       "ERR IMAP4: messages received but not send by correct application. ()", {}, false},
      {"fetch_only_foreign_delete_all", "IMAP4", false, false,
       {Msg("a", "Other"), Msg("b", "xTESSALYComx")},
       "ERR IMAP4: messages received but not send by correct application. ()", {1, 2}, true},
      {"empty_mailbox", "TESSIMO", false, false, {}, "ERR IMAP4: no messages received", {},
       false},
      // Near misses that the server's search finds (other case, longer
      // subject, X-Sender containing the value) are decided by the rules;
      // the list of the wrong-subject text is every subject in order, once.
      {"near_misses_full_list_once", "TESSIMO", true, false,
       {Msg("tessimo 1", "TESSIMOCom"), Msg("hello", kNone), Msg("Re: TESSIMO 1", kNone),
        Msg("b", "xTESSIMOComx")},
       "ERR IMAP4: messages received with wrong subject (tessimo 1-hello-Re: TESSIMO 1-b)", {1},
       true, true},
      {"found_beside_old_own_and_near_miss", "TESSIMO", true, false,
       {Msg("TESSIMO 0", "TESSIMOCom"), Msg("TESSIMO 12", "xTESSIMOComx"), Msg("x", kNone),
        Msg("TESSIMO 1", "TESSIMOCom")},
       "OK", {1, 4}, true},
      {"found_delete_all_flags_every_message", "TESSIMO", false, false,
       {Msg("a", kNone), Msg("TESSIMO 1", kNone), Msg(kNone, kNone)}, "OK", {1, 2, 3}, true},
  };
}

class Imap4RulesTest : public ::testing::TestWithParam<Imap4Case> {};

// Each case twice: with the server's search, and with a server that
// refuses it (every message fetched). Both give the same outcome.
TEST_P(Imap4RulesTest, ResultFlagsAndNoTrace) {
  const Imap4Case& c = GetParam();
  for (bool refused : {false, true}) {
    const std::string name = std::string(c.name) + (refused ? " (search refused)" : "");
    Fixture f;
    f.imap4.messages = c.messages;
    f.imap4.search_refused = refused;
    std::string result =
        f.ops.RetrieveMessagesImap4(Args(c.mode, "TESSIMO 1", c.only_own, c.no_x_sender));
    EXPECT_EQ(result, c.want_result) << name;
    EXPECT_THAT(f.imap4.removed, ElementsAreArray(c.want_removed)) << name;
    const auto count = [&](const std::string& call) {
      return std::count_if(f.imap4.calls.begin(), f.imap4.calls.end(),
                           [&](const std::string& l) { return l.rfind(call, 0) == 0; });
    };
    EXPECT_EQ(count("Expunge"), c.want_expunge ? 1 : 0) << name;
    if (!c.messages.empty()) {
      EXPECT_EQ(count("FetchEach"), refused || c.want_full_fetch ? 1 : 0) << name;
    }
    EXPECT_THAT(f.trace.lines(), IsEmpty()) << name;
    EXPECT_EQ(f.imap4.calls.back(), "Disconnect") << name;
  }
}

// What the server is asked to find: the subject sought and, with
// only-delete, the check's own messages; in the fetch-only mode the
// X-Sender values that prove arrival. An empty subject narrows nothing.
TEST(Imap4RetrieveTest, SearchKeysByMode) {
  struct Case {
    const char* mode;
    const char* subject;
    bool only_own, no_x_sender;
    const char* want;
  } cases[] = {
      {"TESSIMO", "TESSIMO 1", false, false, "SetSearch Subject=TESSIMO 1"},
      {"TESSIMO", "TESSIMO 1", true, false, "SetSearch Subject=TESSIMO 1|X-Sender=TESSIMOCom"},
      {"TESSIMO", "TESSIMO 1", true, true, "SetSearch Subject=TESSIMO 1|Subject=TESSIMO"},
      {"TESSIMO", "", true, false, "SetSearch"},
      {"IMAP4", "x", false, true, "SetSearch X-Sender=TESSALYCom|X-Sender=TESSIMOCom"},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.imap4.messages = {Msg("a", kNone)};
    f.ops.RetrieveMessagesImap4(Args(c.mode, c.subject, c.only_own, c.no_x_sender));
    EXPECT_THAT(f.imap4.calls, ::testing::Contains(c.want)) << c.mode << " " << c.subject;
  }
}

// A failure of the narrowed fetch or of its flags ends the call at the
// fetch step with nothing flagged or expunged.
TEST(Imap4RetrieveTest, NarrowedFetchFailures) {
  for (const char* fail_on : {"FetchFound", "DeleteFound"}) {
    Fixture f;
    f.imap4.messages = {Msg("a", kNone), Msg("TESSIMO 1", "TESSIMOCom")};
    f.imap4.fail_on = fail_on;
    f.imap4.fail_description = "NO failed";
    EXPECT_EQ(f.ops.RetrieveMessagesImap4(Args("TESSIMO", "TESSIMO 1", false, false)),
              "ERR IMAP4:NO failed (7)")
        << fail_on;
    EXPECT_THAT(f.imap4.marks, IsEmpty()) << fail_on;
    EXPECT_THAT(f.imap4.removed, IsEmpty()) << fail_on;
    EXPECT_TRUE(f.imap4.connected) << fail_on;
  }
}

INSTANTIATE_TEST_SUITE_P(All, Imap4RulesTest, ::testing::ValuesIn(Imap4Cases()),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(Imap4RetrieveTest, QuotesMailboxAndBatches) {
  Fixture f;
  f.imap4.messages = {Msg("a", kNone)};
  RetrieveArgs a = Args("TESSIMO", "a", false, false);
  a.port = 143;
  a.mailbox = "Sent Items";
  a.ssl = true;
  EXPECT_EQ(f.ops.RetrieveMessagesImap4(a), "OK");
  EXPECT_THAT(f.imap4.calls,
              ElementsAre("SetConfig UseIPv6=False", "SetMailPort 143",
                          "SetMailServer mail.example.test", "SetUser alice", "SetPassword secret",
                          "SetSslStartMode 0", "SetTimeout 10", "Connect",
                          "SetMailbox \"Sent Items\"", "SetSearch Subject=a", "SelectMailbox",
                          "MessageCount", "MessageCount", "FetchFound 1", "DeleteFound every",
                          "Expunge", "Disconnect"));
  // The certificate is accepted and its event always traced.
  EXPECT_TRUE(f.imap4.certificate_accepted);
  EXPECT_THAT(f.trace.lines(), ElementsAre("IMAP4 SSL authentication"));
}

class Imap4FailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(Imap4FailureTest, FailureTextNoDisconnectFlagsStay) {
  const FailCase& c = GetParam();
  Fixture f;
  f.imap4.messages = {Msg("a", kNone), Msg("b", kNone), Msg("c", kNone)};
  f.imap4.fail_on = c.fail_on;
  f.imap4.fail_at_message = c.fail_at_message;
  f.imap4.fail_description = "NO Mailbox doesn't exist: Nope";
  std::string result = f.ops.RetrieveMessagesImap4(Args("TESSIMO", "x", false, false));
  EXPECT_EQ(result, c.want_result) << c.name;
  EXPECT_EQ(f.imap4.connected, c.want_connected) << c.name;
  EXPECT_THAT(f.imap4.marks, ElementsAreArray(c.want_marks)) << c.name;
  EXPECT_THAT(f.trace.lines(), IsEmpty()) << c.name;
  if (std::string(c.fail_on) != "Disconnect") {
    // Nothing was expunged before the failure, and nothing after it.
    EXPECT_THAT(f.imap4.removed, IsEmpty()) << c.name;
    EXPECT_NE(f.imap4.calls.back(), "Disconnect") << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, Imap4FailureTest,
    ::testing::Values(
        FailCase{"config", "SetConfig", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (1)", false,
                 {}},
        FailCase{"ssl_mode", "SetSslStartMode", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (2)",
                 false, {}},
        FailCase{"connect", "Connect", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (3)", false,
                 {}},
        FailCase{"select", "SelectMailbox", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (4)",
                 true, {}},
        FailCase{"count", "MessageCount", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (5)", true,
                 {}},
        FailCase{"recount", "MessageCount#2", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (6)",
                 true, {}},
        FailCase{"fetch_midway_flags_nothing", "", 2,
                 "ERR IMAP4:NO Mailbox doesn't exist: Nope (7)", true, {}},
        FailCase{"expunge", "Expunge", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (8)", true,
                 {1, 2, 3}},
        FailCase{"disconnect", "Disconnect", 0, "ERR IMAP4:NO Mailbox doesn't exist: Nope (9)",
                 false, {}}),
    [](const auto& i) { return std::string(i.param.name); });

// ---- Event handling --------------------------------------------------------------

struct EventCase {
  const char* name;
  bool imap4;
  bool debug;
  void (*raise)(ComponentEvents&);
  Lines want_trace;
};

class EventTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventTest, TracesAsTheEventSays) {
  const EventCase& c = GetParam();
  RetrievalState state;
  state.receive_debug = c.debug;
  CaptureTraceSink trace;
  Pop3EventHandler pop3(state, trace);
  Imap4EventHandler imap4(state, trace);
  c.raise(c.imap4 ? static_cast<ComponentEvents&>(imap4) : pop3);
  EXPECT_THAT(trace.lines(), ElementsAreArray(c.want_trace)) << c.name;
}

void Error(ComponentEvents& e) { e.OnError(110, "connection refused"); }
void TrailOut(ComponentEvents& e) { e.OnTrail(TrailDirection::kSent, "STAT"); }
void TrailIn(ComponentEvents& e) { e.OnTrail(TrailDirection::kReceived, "+OK 2 320"); }
void Ssl(ComponentEvents& e) { e.OnSslStatus("TLSv1.3"); }
void Certificate(ComponentEvents& e) {
  bool accept = false;
  e.OnCertificate("pem", &accept);
  if (!accept) e.OnTrail(TrailDirection::kSent, "certificate refused");  // makes a refusal visible
}

INSTANTIATE_TEST_SUITE_P(
    All, EventTest,
    ::testing::Values(
        EventCase{"pop3_error_always", false, false, Error, {"POP3 :110 connection refused"}},
        EventCase{"pop3_trail_out", false, true, TrailOut, {"-> POP3: STAT"}},
        EventCase{"pop3_trail_in", false, true, TrailIn, {"<- POP3: +OK 2 320"}},
        EventCase{"pop3_trail_off", false, false, TrailIn, {}},
        EventCase{"pop3_ssl", false, true, Ssl, {"POP3 SSL Status:TLSv1.3"}},
        EventCase{"pop3_ssl_off", false, false, Ssl, {}},
        EventCase{"pop3_certificate_silent", false, true, Certificate, {}},
        EventCase{"imap4_error_ignored", true, true, Error, {}},
        EventCase{"imap4_trail_out", true, true, TrailOut, {"-> IMAP4: STAT"}},
        EventCase{"imap4_trail_in", true, true, TrailIn, {"<- IMAP4: +OK 2 320"}},
        EventCase{"imap4_trail_off", true, false, TrailOut, {}},
        EventCase{"imap4_ssl", true, true, Ssl, {"IMAP4 SSL status: TLSv1.3"}},
        EventCase{"imap4_ssl_off", true, false, Ssl, {}},
        EventCase{"imap4_certificate_always", true, false, Certificate,
                  {"IMAP4 SSL authentication"}}),
    [](const auto& i) { return std::string(i.param.name); });


// ---- Bounded result texts ------------------------------------------------------

TEST(WrongSubjectListTest, ManyLongSubjectsGiveABoundedResult) {
  // 300 messages whose 65,000-byte subjects start with ESC, NUL and BEL.
  std::vector<FakeMessage> mailbox;
  for (int i = 0; i < 300; ++i) {
    std::string subject = std::string("\x1b\0\x07", 3) + std::to_string(i);
    subject.resize(65000, 'x');
    mailbox.push_back(Msg(subject, kNone));
  }
  const struct {
    const char* name;
    bool imap4;
    std::string_view prefix;
  } cases[] = {
      {"POP3", false, vocab::kPop3WrongSubject},
      {"IMAP4", true, vocab::kImap4WrongSubject},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.pop3.messages = mailbox;
    f.imap4.messages = mailbox;
    const std::string result =
        c.imap4 ? f.ops.RetrieveMessagesImap4(Args("TESSIMO", "TESSIMO 1", true, false))
                : f.ops.RetrieveMessages(Args("TESSALY", "TESSALY 1", true, false));
    ASSERT_EQ(result.rfind(c.prefix, 0), 0u) << c.name;
    EXPECT_LE(result.size(), c.prefix.size() + kMaxReceivedSubjectsBytes + 6) << c.name;
    EXPECT_EQ(result.substr(c.prefix.size(), 4), std::string("\x1b\0\x07" "0", 4))
        << c.name << ": the list starts with the first subject";
    EXPECT_EQ(result.substr(result.size() - 6), "[cut])") << c.name;
    EXPECT_EQ(result.find("[cut]"), result.size() - 6) << c.name << ": cut marked once";
  }
}

}  // namespace
}  // namespace tessaly
