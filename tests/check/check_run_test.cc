#include "check/check_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "check/check_object.h"
#include "check/param_string.h"

namespace tessaly {
namespace {

// Records every call; answers with scripted texts (the last one repeats).
class FakeMail : public MailOperations {
 public:
  std::vector<std::string> texts{"OK"};
  std::string subject_out = "TESSALY 1200";
  std::vector<std::string> calls;
  std::vector<int> timeouts;  // the time-out each call was given
  std::function<void()> during_call;  // e.g. moves a clock: the call's duration
  SendArgs send;
  RetrieveArgs retrieve;
  CountArgs count;

  std::string Next() {
    if (during_call) during_call();
    std::string t = texts[std::min(calls.size() - 1, texts.size() - 1)];
    return t;
  }
  std::string SendMessage(const SendArgs& a, std::string* subject) override {
    calls.push_back("send"); send = a; timeouts.push_back(a.timeout); *subject = subject_out; return Next();
  }
  std::string RetrieveMessages(const RetrieveArgs& a) override {
    calls.push_back("pop3"); retrieve = a; timeouts.push_back(a.timeout); return Next();
  }
  std::string RetrieveMessagesImap4(const RetrieveArgs& a) override {
    calls.push_back("imap4"); retrieve = a; timeouts.push_back(a.timeout); return Next();
  }
  std::string CountMessages(const CountArgs& a) override {
    calls.push_back("count"); count = a; timeouts.push_back(a.timeout); return Next();
  }
};

class FakeClock : public Clock {
 public:
  WallTime Now() override { return {}; }
  std::chrono::steady_clock::time_point Steady() override { return now; }
  void SleepFor(std::chrono::milliseconds d) override { now += d; ++sleeps; }
  std::chrono::steady_clock::time_point now{};
  int sleeps = 0;
};

struct Outcome { bool verdict; std::string result; std::string parameter; };

CheckRunEnv Env(MailOperations& mail, Clock& clock) {
  CheckRunEnv env;
  env.mail = &mail;
  env.clock = &clock;
  return env;
}

Outcome RunOnce(FakeMail& mail, FakeClock& clock, const std::string& params, int timeout = 0) {
  CheckRunEnv env = Env(mail, clock);
  Variant p(params);
  std::string result;
  bool v = RunCheck(env, &p, Variant(timeout), &result);
  return {v, result, p.ToText()};
}

struct PhaseCase {
  const char* name; std::string params; const char* call; const char* next_after;
};

TEST(CheckRunTest, ModeAndPhaseDispatch) {
  const std::vector<PhaseCase> cases = {
      {"empty", "", "send", "POP3"},
      {"tessaly_pop3", "#OMODE=TESSALY#@@NEXT=POP3@@#", "pop3", "SMTP"},
      {"tessimo_send", "#OMODE=TESSIMO#", "send", "IMAP4"},
      {"tessimo_imap", "#OMODE=TESSIMO#@@NEXT=IMAP4@@#", "imap4", "SMTP"},
      {"smtp", "#OMODE=SMTP#@@NEXT=POP3@@#", "send", "SMTP"},
      {"pop3", "#OMODE=POP3#", "pop3", "POP3"},
      {"imap4", "#OMODE=IMAP4#", "imap4", "IMAP4"},
      {"cpop", "#OMODE=CPOP#@@NEXT=POP3@@#", "count", "POP3"},
      {"lower_smtp_follows_next", "#OMODE=smtp#@@NEXT=IMAP4@@#", "imap4", "IMAP4"},
  };
  for (const auto& c : cases) {
    FakeMail mail; FakeClock clock;
    Outcome o = RunOnce(mail, clock, c.params);
    ASSERT_EQ(mail.calls.size(), 1u) << c.name;
    EXPECT_EQ(mail.calls[0], c.call) << c.name;
    EXPECT_EQ(GetParameterValue(o.parameter, "@@NEXT"), c.next_after) << c.name;
  }
}

TEST(CheckRunTest, UnknownPhaseRunsNothing) {
  FakeMail mail; FakeClock clock;
  const std::string params = "#OMODE=TESSALY#@@NEXT=XYZ@@#";
  Outcome o = RunOnce(mail, clock, params);
  EXPECT_FALSE(o.verdict); EXPECT_EQ(o.result, ""); EXPECT_EQ(o.parameter, params);
  EXPECT_TRUE(mail.calls.empty());
}

TEST(CheckRunTest, AttemptRule) {
  const std::vector<std::pair<std::string, size_t>> cases = {
      {"-1", 1}, {"0", 1}, {"2", 3}, {"7", 4}};
  for (const auto& [pret, calls] : cases) {
    FakeMail mail; FakeClock clock; mail.texts = {"ERR POP3: no"};
    Outcome o = RunOnce(mail, clock, "#OMODE=POP3#PRET=" + pret + "#");
    EXPECT_EQ(mail.calls.size(), calls) << pret;
    EXPECT_FALSE(o.verdict) << pret;
    EXPECT_EQ(o.result, "ERR POP3: no") << pret;
  }
  FakeMail mail; FakeClock clock; mail.texts = {"ERR POP3: a", "OK"};
  Outcome o = RunOnce(mail, clock, "#OMODE=POP3#PRET=3#");
  EXPECT_EQ(mail.calls.size(), 2u); EXPECT_TRUE(o.verdict);
  EXPECT_EQ(o.result, "Message retrieved successfully");
}

TEST(CheckRunTest, SslStartModeLimits) {
  for (const auto& [sssm, sent] : std::vector<std::pair<std::string, int>>{
           {"5", 0}, {"-2", 0}, {"2", 2}, {"3", 3}}) {
    FakeMail mail; FakeClock clock;
    RunOnce(mail, clock, "#OMODE=SMTP#SSSM=" + sssm + "#");
    EXPECT_EQ(mail.send.ssl_start_mode, sent) << sssm;
  }
}

TEST(CheckRunTest, CountComparison) {
  struct C { std::string ccmd, ccnm, text; bool up; };
  const std::vector<C> cases = {
      {"GT", "10", "12 message(s)", false}, {"GT", "12", "12 message(s)", true},
      {"", "5", "3 message(s)", false},     {"", "3", "3 message(s)", true},
      {"EQ", "3", "3 x", false},            {"DF", "3", "4 x", false},
      {"DF", "3", "3 x", true},             {"LT", "1", "none", false},
      {"LT", "0", "ERR COUNT POP3: x", false}};
  for (const auto& c : cases) {
    FakeMail mail; FakeClock clock; mail.texts = {c.text};
    std::string p = "#OMODE=CPOP#CCNM=" + c.ccnm + "#";
    if (!c.ccmd.empty()) p += "CCMD=" + c.ccmd + "#";
    Outcome o = RunOnce(mail, clock, p);
    EXPECT_EQ(o.verdict, c.up) << c.ccmd << c.ccnm << c.text;
    EXPECT_EQ(o.result, c.text) << c.ccmd;
    EXPECT_EQ(o.parameter, p) << "count writes no state";
  }
}

TEST(CheckRunTest, SendVerdictsAndStateWrites) {
  struct C { const char* name; std::string mode; std::string subject; std::string text; bool up; };
  const std::vector<C> cases = {
      {"subject_up_despite_err", "TESSALY", "S1", "ERR SMTP: x", true},
      {"no_subject_tessaly_down", "TESSALY", "", "fine", false},
      {"no_subject_smtp_ok", "SMTP", "", "fine", true},
      {"no_subject_smtp_err", "SMTP", "", "ERR SMTP: x", false}};
  for (const auto& c : cases) {
    FakeMail mail; FakeClock clock; mail.subject_out = c.subject; mail.texts = {c.text};
    Outcome o = RunOnce(mail, clock, "#SSRV=h#OMODE=" + c.mode + "#");
    EXPECT_EQ(o.verdict, c.up) << c.name;
    EXPECT_EQ(o.result, c.text) << c.name;
    const std::string next = (!c.subject.empty() && c.mode == "TESSALY") ? "POP3" : "SMTP";
    EXPECT_EQ(o.parameter, "#SSRV=h#OMODE=" + c.mode + "#@@SUBJECT=" + c.subject +
                               "@@#@@NEXT=" + next + "@@#") << c.name;
  }
}

TEST(CheckRunTest, FetchArgsAndNoXSender) {
  FakeMail mail; FakeClock clock;
  Outcome o = RunOnce(mail, clock,
      "#PSRV=p#PPORT=110#PUSR=a{0x20}b#PPWD=c2VjcmV0#NXS=T#ODSM=T#@@NEXT=POP3@@#@@SUBJECT=S9@@#", 20);
  EXPECT_EQ(mail.retrieve.user, "a b"); EXPECT_EQ(mail.retrieve.password, "secret");
  EXPECT_EQ(mail.retrieve.subject, "S9"); EXPECT_TRUE(mail.retrieve.no_x_sender);
  EXPECT_EQ(mail.retrieve.mode, "TESSALY"); EXPECT_EQ(mail.retrieve.timeout, 20);
  EXPECT_EQ(GetParameterValue(o.parameter, "@@SUBJECT"), "");
  FakeMail m2;
  RunOnce(m2, clock, "#OMODE=POP3#NXS=T#");
  EXPECT_FALSE(m2.retrieve.no_x_sender);
}

TEST(CheckRunTest, SendWaitsUntilTimeoutMinusOne) {
  for (const auto& [timeout, ms] : std::vector<std::pair<int, long>>{{0, 0}, {1, 0}, {30, 29000}}) {
    FakeMail mail; FakeClock clock;
    auto start = clock.now;
    RunOnce(mail, clock, "#OMODE=SMTP#", timeout);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(clock.now - start).count(), ms)
        << timeout;
  }
}

TEST(CheckRunTest, TrappedFailures) {
  EXPECT_EQ(TrappedFailureText("Type mismatch", 13, 0), "ERR docheck : Type mismatch( 13- 0)");
  EXPECT_EQ(TrappedFailureText("x", -5, 2), "ERR docheck : x(-5- 2)");
  FakeMail mail; FakeClock clock;
  CheckRunEnv env = Env(mail, clock);
  Variant p("#OMODE=SMTP#");
  std::string result;
  EXPECT_FALSE(RunCheck(env, &p, Variant("abc"), &result));
  EXPECT_EQ(result, "ERR docheck : Type mismatch( 13- 0)");
  Outcome o = RunOnce(mail, clock, "#OMODE=POP3#PPWD==abc#");
  EXPECT_FALSE(o.verdict);
  EXPECT_EQ(o.result, "ERR docheck : Invalid password encoding in PPWD( 5- 0)");
}

TEST(CheckRunTest, TimeoutBounds) {
  EXPECT_EQ(OperationTimeout(0), kFallbackTimeoutSeconds);
  EXPECT_EQ(OperationTimeout(-4), kFallbackTimeoutSeconds);
  EXPECT_EQ(OperationTimeout(40000), 32767);
  EXPECT_EQ(OperationTimeout(15), 15);
}

// A deadline on the whole call: every attempt gets what is left, none starts
// with less than a second, the send-phase wait ends there. Each fake call
// lasts as long as its time-out, like a server that never answers.
TEST(CheckRunTest, DeadlineBoundsAttemptsAndWait) {
  using std::chrono::seconds;
  struct Case {
    const char* name;
    std::string params;
    int timeout;
    std::optional<int> deadline_s;  // from the start; unset: no bound
    bool send_wait;
    std::vector<int> timeouts;  // what each call got
    int ends_at_s;              // clock when the run returns
    std::string result;
  };
  const std::string pop3 = "#OMODE=POP3#PRET=3#";
  const std::vector<Case> cases = {
      {"no_bound", pop3, 5, std::nullopt, true, {5, 5, 5, 5}, 20, "ERR POP3: silent"},
      {"bound_8", pop3, 5, 8, true, {5, 3}, 8, "ERR POP3: silent"},
      {"bound_12", pop3, 5, 12, true, {5, 5, 2}, 12, "ERR POP3: silent"},
      {"bound_passed", pop3, 5, 0, true, {}, 0, "ERR max-time reached"},
      {"count", "#OMODE=CPOP#PRET=2#", 5, 7, true, {5, 2}, 7, "ERR POP3: silent"},
      {"send_wait_to_bound", "#OMODE=SMTP#", 30, 10, true, {10}, 10, "ERR POP3: silent"},
      {"send_no_wait", "#OMODE=SMTP#", 30, std::nullopt, false, {30}, 30, "ERR POP3: silent"},
      {"send_bound_passed", "#OMODE=SMTP#", 30, 0, true, {}, 0, "ERR max-time reached"},
  };
  for (const Case& c : cases) {
    FakeMail mail; FakeClock clock;
    mail.texts = {"ERR POP3: silent"};
    mail.subject_out = "";
    mail.during_call = [&] { clock.now += seconds(mail.timeouts.back()); };
    CheckRunEnv env = Env(mail, clock);
    if (c.deadline_s) env.options.deadline = clock.now + seconds(*c.deadline_s);
    env.options.send_wait = c.send_wait;
    RunReport report;
    env.report = &report;
    Variant p(c.params);
    std::string result;
    EXPECT_FALSE(RunCheck(env, &p, Variant(c.timeout), &result)) << c.name;
    EXPECT_EQ(mail.timeouts, c.timeouts) << c.name;
    EXPECT_EQ(clock.now - std::chrono::steady_clock::time_point{}, seconds(c.ends_at_s))
        << c.name;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(report.attempts, static_cast<int>(c.timeouts.size())) << c.name;
    EXPECT_EQ(report.bound_reached, c.deadline_s.has_value()) << c.name;
  }
}

// A send whose mail went out returns at once without the wait, and with no
// bound the wait is as long as ever.
TEST(CheckRunTest, SendWaitSwitch) {
  for (bool wait : {true, false}) {
    FakeMail mail; FakeClock clock;
    CheckRunEnv env = Env(mail, clock);
    env.options.send_wait = wait;
    Variant p("#OMODE=TESSALY#");
    std::string result;
    EXPECT_TRUE(RunCheck(env, &p, Variant(30), &result)) << wait;
    EXPECT_EQ(clock.now - std::chrono::steady_clock::time_point{},
              wait ? std::chrono::seconds(29) : std::chrono::seconds(0)) << wait;
    EXPECT_EQ(GetParameterValue(p.ToText(), "@@NEXT"), "POP3") << wait;
  }
}

TEST(CheckRunTest, ReportOfEachPhase) {
  struct Case {
    const char* name; std::string params; std::vector<std::string> texts;
    const char* phase; const char* server; const char* subject; int attempts;
    std::optional<double> count;
  };
  const std::vector<Case> cases = {
      {"send", "#OMODE=SMTP#SSRV=smtp.test#SPORT=25#", {"Message send successfully (x)"},
       "SMTP", "smtp.test:25", "TESSALY 1200", 1, std::nullopt},
      {"fetch_retried", "#OMODE=TESSALY#@@NEXT=POP3@@#@@SUBJECT=TESSALY 9@@#PSRV=pop.test#"
       "PPORT=110#PRET=2#", {"ERR POP3: a", "OK"}, "POP3", "pop.test:110", "TESSALY 9", 2,
       std::nullopt},
      {"imap4", "#OMODE=IMAP4#PSRV=imap.test#PPORT=143#", {"OK"}, "IMAP4", "imap.test:143", "",
       1, std::nullopt},
      {"count", "#OMODE=CPOP#CCMD=GT#CCNM=10#PSRV=pop.test#PPORT=110#",
       {" 12 message(s) in this mailbox (u)"}, "COUNTPOP3", "pop.test:110", "", 1, 12.0},
      {"unknown_phase", "#@@NEXT=XYZ@@#", {"OK"}, "", "", "", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    FakeMail mail; FakeClock clock;
    mail.texts = c.texts;
    mail.during_call = [&] { clock.now += std::chrono::milliseconds(250); };
    CheckRunEnv env = Env(mail, clock);
    RunReport report;
    env.report = &report;
    Variant p(c.params);
    std::string result;
    RunCheck(env, &p, Variant(1), &result);
    EXPECT_EQ(report.phase, c.phase) << c.name;
    EXPECT_EQ(report.server, c.server) << c.name;
    EXPECT_EQ(report.subject, c.subject) << c.name;
    EXPECT_EQ(report.attempts, c.attempts) << c.name;
    EXPECT_EQ(report.count, c.count) << c.name;
    if (c.attempts > 0) {
      ASSERT_TRUE(report.seconds.has_value()) << c.name;
      EXPECT_DOUBLE_EQ(*report.seconds, 0.25) << c.name;
    } else {
      EXPECT_FALSE(report.seconds.has_value()) << c.name;
    }
  }
  FakeMail mail; FakeClock clock;
  mail.texts = {" 3 message(s) in this mailbox (u)"};
  CheckRunEnv env = Env(mail, clock);
  RunReport report;
  env.report = &report;
  Variant p("#OMODE=CPOP#CCMD=DF#CCNM=4.5#");
  std::string result;
  RunCheck(env, &p, Variant(1), &result);
  EXPECT_EQ(report.comparison, "DF");
  EXPECT_DOUBLE_EQ(report.threshold, 4.5);
}

TEST(CheckObjectTest, FreshObjectAndProperties) {
  auto fake = std::make_unique<FakeMail>();
  FakeMail* mail = fake.get();
  mail->subject_out = ""; mail->texts = {"ERR SMTP: no host"};
  FakeClock clock;
  CheckObjectOptions options; options.mail = std::move(fake); options.clock = &clock;
  CheckObject check(std::move(options));
  EXPECT_TRUE(check.vg_parameter().IsEmpty());
  EXPECT_EQ(check.vg_result().ToText(), "");
  check.set_vg_result(Variant("old"));
  EXPECT_FALSE(check.VgDocheck());
  EXPECT_EQ(check.vg_result().ToText(), "ERR SMTP: no host");
  EXPECT_EQ(check.vg_parameter().kind(), Variant::Kind::kText);
  EXPECT_EQ(check.vg_parameter().ToText(), "#@@SUBJECT=@@#@@NEXT=SMTP@@#");
}

TEST(VariantTest, Conversions) {
  EXPECT_EQ(Variant(30).ToText(), "30");
  EXPECT_EQ(Variant(2.5).ToText(), "2.5");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(*Variant(" 12 ").ToInteger(), 12);
  EXPECT_EQ(*Variant(2.5).ToInteger(), 2);
  EXPECT_FALSE(Variant("12abc").ToInteger().has_value());
  EXPECT_EQ(*Variant().ToInteger(), 0);
}

}  // namespace
}  // namespace tessaly
