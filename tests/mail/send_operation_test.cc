#include "mail/send_operation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check/vocab.h"
#include "support/fake_env.h"
#include "support/fake_smtp_component.h"

namespace tessaly {
namespace {

using testing::FakeClock;
using testing::FakeOsFacts;
using testing::FakeSmtpComponentFactory;
using testing::SmtpCallLog;

// Serves one greeting setting and records each read into the call log.
class FakeStore : public SettingsStore {
 public:
  FakeStore(SmtpCallLog& log, std::string setting) : log_(log), setting_(std::move(setting)) {}
  std::optional<RegistryValue> ReadMachineValue(std::string_view, std::string_view) override {
    log_.calls.push_back("read setting");
    RegistryValue v;
    v.text = setting_ + std::string(1, '\0');
    return v;
  }

 private:
  SmtpCallLog& log_;
  std::string setting_;
};

// Records each OS query into the call log, so the test sees the order.
class LoggingOsFacts : public FakeOsFacts {
 public:
  explicit LoggingOsFacts(SmtpCallLog& log) : log_(log) {}
  bool ComputerName(std::string* name) override {
    log_.calls.push_back("os query");
    return FakeOsFacts::ComputerName(name);
  }

 private:
  SmtpCallLog& log_;
};

struct Fixture {
  explicit Fixture(std::string setting = "helo.example")
      : store(log, std::move(setting)), os(log), factory(log),
        op(factory, store, os, clock, trace) {
    clock.now = WallTime{9, 5, 7, 45, 2021, 6, 15};
  }
  SmtpCallLog log;
  FakeStore store;
  LoggingOsFacts os;
  FakeClock clock;
  CaptureTraceSink trace;
  FakeSmtpComponentFactory factory;
  SendOperation op;
};

SendArgs BaseArgs() {
  SendArgs a;
  a.host = "mx.example";
  a.port = 587;
  a.from = "check@example.org";
  a.to = "box@example.org";
  a.timeout = 20;
  a.use_ssl = true;
  a.user = "alice";
  a.password = "secret";
  a.mode = "TESSALY";
  return a;
}

TEST(SendOperationTest, PropertyOrderAndConditions) {
  struct Case {
    const char* name;
    std::string user, password;
    bool ssl;
    std::vector<std::string> credential_calls;
    std::string auth;
  };
  const Case cases[] = {
      {"both given", "alice", "secret", true,
       {"set PrimaryUsername=alice", "set PrimaryPassword=secret"}, "T"},
      {"user without password", "alice", "", false, {}, "T"},
      {"password without user", "", "secret", false, {}, ""},
      {"neither", "", "", true, {}, ""},
  };
  for (const Case& c : cases) {
    Fixture f;
    SendArgs a = BaseArgs();
    a.user = c.user;
    a.password = c.password;
    a.use_ssl = c.ssl;
    std::string subject;
    f.op.SendMessageV2(a, &subject);
    std::vector<std::string> want = {"create #1",
                                     "read setting",
                                     "set PrimaryHELO=helo.example",
                                     "set PrimaryTimeout=20",
                                     "set PrimaryMailserver=mx.example",
                                     "set PrimaryMailPort=587"};
    want.insert(want.end(), c.credential_calls.begin(), c.credential_calls.end());
    want.push_back("set primaryauthentication=" + c.auth);
    want.push_back("set alternateauthentication=");
    want.push_back("set primarymailFrom=check@example.org");
    want.push_back(std::string("set primaryUsessl=") + (c.ssl ? "true" : "false"));
    want.push_back("set primaryXHeader=X-Sender: TESSALYCom");
    want.push_back("addmail box@example.org|TESSALY 95745" "20210615|"
                   "Vigilor TESSALY COM check control mail|true");
    // Which OS facts the name needs is the name builder's business.
    std::erase(f.log.calls, std::string("os query"));
    EXPECT_EQ(f.log.calls, want) << c.name;
    EXPECT_EQ(f.trace.lines(), std::vector<std::string>{"HELO reg info helo.example"})
        << c.name;
  }
}

TEST(SendOperationTest, SettingReadOnceThenNameBuilt) {
  Fixture f("1");
  std::string subject;
  f.op.SendMessageV2(BaseArgs(), &subject);
  ASSERT_GE(f.log.calls.size(), 4u);
  EXPECT_EQ(f.log.calls[1], "read setting");
  EXPECT_EQ(f.log.calls[2], "os query");
  EXPECT_EQ(f.log.calls[3], "set PrimaryHELO=mailcheck");
  EXPECT_EQ(std::count(f.log.calls.begin(), f.log.calls.end(), "read setting"), 1);
}

TEST(SendOperationTest, ModeTable) {
  struct Case {
    std::string mode, word, header, body;
  };
  const Case cases[] = {
      {"TESSALY", "TESSALY ", "X-Sender: TESSALYCom", "Vigilor TESSALY COM check control mail"},
      {"SMTP", "TESSALY ", "X-Sender: TESSALYCom", "Vigilor TESSALY COM check control mail"},
      {"TESSIMO", "TESSIMO ", "X-Sender: TESSIMOCom", "Vigilor TESSIMO COM check control mail"},
      {"POP3", "TESSALY ", "", "Vigilor TESSALY COM check control mail"},
      {"CPOP", "TESSALY ", "", "Vigilor TESSALY COM check control mail"},
      {"", "TESSALY ", "", "Vigilor TESSALY COM check control mail"},
      {"tessimo", "TESSALY ", "", "Vigilor TESSALY COM check control mail"},
  };
  for (const Case& c : cases) {
    Fixture f;
    SendArgs a = BaseArgs();
    a.mode = c.mode;
    std::string subject = "kw ";
    std::string result = f.op.SendMessageV2(a, &subject);
    const std::string want_subject = "kw " + c.word + "95745" + "20210615";
    EXPECT_EQ(subject, want_subject) << c.mode;
    EXPECT_EQ(result, "Message send successfully (" + want_subject + ")") << c.mode;
    const auto header_set = std::find_if(f.log.calls.begin(), f.log.calls.end(),
                                         [](const std::string& s) {
                                           return s.rfind("set primaryXHeader=", 0) == 0;
                                         });
    if (c.header.empty()) {
      EXPECT_EQ(header_set, f.log.calls.end()) << c.mode;
    } else {
      ASSERT_NE(header_set, f.log.calls.end()) << c.mode;
      EXPECT_EQ(*header_set, "set primaryXHeader=" + c.header) << c.mode;
    }
    EXPECT_EQ(f.log.calls.back(), "addmail box@example.org|" + want_subject + "|" + c.body +
                                      "|true")
        << c.mode;
  }
}

TEST(SendOperationTest, SubjectComposition) {
  struct Case {
    const char* name;
    std::string entry;
    WallTime t;
    std::string want;
  };
  const Case cases[] = {
      {"example", "", {9, 5, 7, 45, 2021, 6, 15}, "TESSALY 9574520210615"},
      {"last millisecond", "abc", {23, 59, 59, 999, 2022, 1, 1}, "abcTESSALY 23595999920220101"},
      {"unpadded 1:23:4.5", "", {1, 23, 4, 5, 2022, 3, 4}, "TESSALY 1234520220304"},
      {"unpadded 12:3:4.5", "", {12, 3, 4, 5, 2022, 3, 4}, "TESSALY 1234520220304"},
      {"midnight UTC, local date behind", "", {0, 0, 0, 0, 2021, 12, 31}, "TESSALY 000020211231"},
      {"UTC late, local date ahead", "", {23, 30, 0, 1, 2022, 1, 1}, "TESSALY 233001" "20220101"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComposeSubject(c.entry, "TESSALY ", c.t), c.want) << c.name;
    Fixture f;
    f.clock.now = c.t;
    std::string subject = c.entry;
    EXPECT_EQ(f.op.SendMessageV2(BaseArgs(), &subject),
              "Message send successfully (" + c.want + ")")
        << c.name;
    EXPECT_EQ(subject, c.want) << c.name;
  }
}

TEST(SendOperationTest, FailurePath) {
  struct Case {
    const char* name;
    std::string fail_property;
    bool fail_addmail, fail_create;
    std::string want;
  };
  const Case cases[] = {
      {"no component", "", false, true, "ERR SMTP: SMTP component could not be created (4)"},
      {"greeting", "PrimaryHELO", false, false, "ERR SMTP: no property PrimaryHELO (4)"},
      {"port", "PrimaryMailPort", false, false, "ERR SMTP: no property PrimaryMailPort (4)"},
      {"password", "PrimaryPassword", false, false, "ERR SMTP: no property PrimaryPassword (5)"},
      {"alternate", "alternateauthentication", false, false,
       "ERR SMTP: no property alternateauthentication (6)"},
      {"ssl", "primaryUsessl", false, false, "ERR SMTP: no property primaryUsessl (7)"},
      {"header", "primaryXHeader", false, false, "ERR SMTP: no property primaryXHeader (8)"},
      {"addmail", "", true, false, "ERR SMTP: RCPT failed: 550; server: 550 rejected (10)"},
  };
  for (const Case& c : cases) {
    Fixture f;
    if (!c.fail_property.empty()) f.log.fail_property = c.fail_property;
    f.log.fail_addmail = c.fail_addmail;
    f.log.fail_create = c.fail_create;
    std::string subject = "kw ";
    EXPECT_EQ(f.op.SendMessageV2(BaseArgs(), &subject), c.want) << c.name;
    EXPECT_EQ(subject, "") << c.name;
    if (!c.fail_create) {
      EXPECT_EQ(f.log.calls.back(), "stop #1") << c.name;
      EXPECT_EQ(std::count(f.log.calls.begin(), f.log.calls.end(), std::string("stop #1")), 1)
          << c.name;
    }
  }
}

// An OAuth login hands the component the mechanism and the token instead
// of the password; a component without those properties (a host's own,
// older one) fails the send with their name before any mail goes out.
TEST(SendOperationTest, OAuthLoginProperties) {
  for (LoginMethod login : {LoginMethod::kXoauth2, LoginMethod::kAutomatic}) {
    const std::string mechanism = login == LoginMethod::kAutomatic ? "AUTO" : "XOAUTH2";
    Fixture f;
    SendArgs a = BaseArgs();
    a.login = login;
    a.token = "ya29.token";
    std::string subject;
    EXPECT_EQ(f.op.SendMessageV2(a, &subject).rfind("Message send successfully (", 0), 0u);
    const std::vector<std::string> want = {"set PrimaryMailPort=587", "set PrimaryUsername=alice",
                                           "set PrimaryAuthMechanism=" + mechanism,
                                           "set PrimaryBearerToken=ya29.token",
                                           "set primaryauthentication=T"};
    auto at = std::find(f.log.calls.begin(), f.log.calls.end(), want.front());
    ASSERT_NE(at, f.log.calls.end()) << mechanism;
    EXPECT_EQ(std::vector<std::string>(at, at + static_cast<std::ptrdiff_t>(want.size())), want)
        << mechanism;
  }
  for (const char* missing : {"PrimaryAuthMechanism", "PrimaryBearerToken"}) {
    Fixture f;
    f.log.fail_property = missing;
    SendArgs a = BaseArgs();
    a.login = LoginMethod::kOAuthBearer;
    a.token = "ya29.token";
    std::string subject = "kw ";
    EXPECT_EQ(f.op.SendMessageV2(a, &subject),
              "ERR SMTP: no property " + std::string(missing) + " (5)");
    EXPECT_EQ(subject, "") << missing;
    EXPECT_EQ(std::count_if(f.log.calls.begin(), f.log.calls.end(),
                            [](const std::string& c) { return c.rfind("addmail", 0) == 0; }),
              0)
        << missing;
  }
}

TEST(SendOperationTest, ComponentReplacedOnEveryCall) {
  Fixture f;
  std::string s1, s2;
  f.op.SendMessageV2(BaseArgs(), &s1);
  SmtpComponent* first = f.op.current();
  f.log.calls.clear();
  f.op.SendMessageV2(BaseArgs(), &s2);
  ASSERT_GE(f.log.calls.size(), 2u);
  EXPECT_EQ(f.log.calls[0], "stop #1");
  EXPECT_EQ(f.log.calls[1], "create #2");
  EXPECT_NE(f.op.current(), nullptr);
  EXPECT_NE(first, nullptr);
  // A failed creation leaves no component; the next call still works.
  f.log.fail_create = true;
  std::string s3 = "x";
  EXPECT_EQ(f.op.SendMessageV2(BaseArgs(), &s3),
            "ERR SMTP: SMTP component could not be created (4)");
  EXPECT_EQ(f.op.current(), nullptr);
  f.log.fail_create = false;
  std::string s4;
  EXPECT_EQ(f.op.SendMessageV2(BaseArgs(), &s4).rfind("Message send successfully (", 0), 0u);
}

}  // namespace
}  // namespace tessaly
