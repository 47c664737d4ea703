#include "check/check_run.h"

#include <gtest/gtest.h>

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
  SendArgs send;
  RetrieveArgs retrieve;
  CountArgs count;

  std::string Next() {
    std::string t = texts[std::min(calls.size() - 1, texts.size() - 1)];
    return t;
  }
  std::string SendMessage(const SendArgs& a, std::string* subject) override {
    calls.push_back("send"); send = a; *subject = subject_out; return Next();
  }
  std::string RetrieveMessages(const RetrieveArgs& a) override {
    calls.push_back("pop3"); retrieve = a; return Next();
  }
  std::string RetrieveMessagesImap4(const RetrieveArgs& a) override {
    calls.push_back("imap4"); retrieve = a; return Next();
  }
  std::string CountMessages(const CountArgs& a) override {
    calls.push_back("count"); count = a; return Next();
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

Outcome RunOnce(FakeMail& mail, FakeClock& clock, const std::string& params, int timeout = 0) {
  CheckRunEnv env{&mail, &clock, nullptr, std::chrono::milliseconds(50)};
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
  CheckRunEnv env{&mail, &clock, nullptr, std::chrono::milliseconds(50)};
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
