// The retrieval and count operations over the real POP3 and IMAP4 clients
// against the local Dovecot: control mails put into the Maildir are
// recognised and deleted, foreign messages survive only-delete, count and
// delete-all, a wrong password and a folder that does not exist; the IMAP4
// control mail found by the server's search among foreign messages and
// near misses, with the same outcome as fetching every message. Skipped
// until the clients are part of the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "mail/retrieve_operations.h"
#include "support/mailstack.h"

#if __has_include("mail/pop3_client.h") && __has_include("mail/imap4_client.h")
#define TESSALY_HAS_CLIENTS 1
#include "mail/imap4_client.h"
#include "mail/pop3_client.h"
#endif

namespace tessaly::testing {
namespace {

#ifdef TESSALY_HAS_CLIENTS

constexpr const char* kUser = "bob";

std::string Mail(const std::string& subject, const std::string& x_sender) {
  std::string m = "From: someone@example.test\r\nTo: bob@tessaly.test\r\nSubject: " + subject + "\r\n";
  if (!x_sender.empty()) m += "X-Sender: " + x_sender + "\r\n";
  return m + "\r\nbody\r\n";
}

struct Ops {
  explicit Ops(const MailStack& stack, bool search = true)
      : pop3(NewPop3Client(Pop3ClientOptions{stack.pop3s_port()})),
        imap4(NewImap4Client(Imap4ClientOptions{stack.imaps_port(), search})),
        ops(*pop3, *imap4, trace) {}
  std::unique_ptr<Pop3Component> pop3;
  std::unique_ptr<Imap4Component> imap4;
  CaptureTraceSink trace;
  RetrieveOperations ops;
};

RetrieveArgs Args(const MailStack& stack, bool imap4, const std::string& mode,
                  const std::string& subject) {
  RetrieveArgs a;
  a.host = MailStack::host4();
  a.port = imap4 ? stack.imap_port() : stack.pop3_port();
  a.user = kUser;
  a.password = stack.password(kUser);
  a.mailbox = "INBOX";
  a.subject = subject;
  a.timeout = 10;
  a.only_delete_own = true;
  a.mode = mode;
  return a;
}

struct ProtoCase {
  const char* name;
  bool imap4;
  const char* mode;
  const char* subject;
  const char* x_sender;
  bool ssl;
  bool ipv6;
  bool implicit_tls;  // connect to the pop3s/imaps port (TLS from the first byte)
};

class RealRetrieveTest : public ::testing::TestWithParam<ProtoCase> {};

TEST_P(RealRetrieveTest, OwnMailDeletedForeignSurvives) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  const ProtoCase& c = GetParam();
  ASSERT_TRUE(stack->ClearMailbox(kUser).ok()) << c.name;
  ASSERT_TRUE(stack->PutMessage(kUser, Mail("foreign", "")).ok()) << c.name;
  ASSERT_TRUE(stack->PutMessage(kUser, Mail(c.subject, c.x_sender)).ok()) << c.name;
  Ops o(*stack);
  RetrieveArgs a = Args(*stack, c.imap4, c.mode, c.subject);
  a.ssl = c.ssl;
  a.use_ipv6 = c.ipv6;
  if (c.ipv6) a.host = MailStack::host6();
  if (c.implicit_tls) a.port = c.imap4 ? stack->imaps_port() : stack->pop3s_port();
  const std::string result =
      c.imap4 ? o.ops.RetrieveMessagesImap4(a) : o.ops.RetrieveMessages(a);
  EXPECT_EQ(result, "OK") << c.name;
  const auto left = stack->ReadMessages(kUser);
  ASSERT_EQ(left.size(), 1u) << c.name;
  EXPECT_NE(left[0].text.find("Subject: foreign"), std::string::npos) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    All, RealRetrieveTest,
    ::testing::Values(
        ProtoCase{"pop3_plain", false, "TESSALY", "TESSALY 1", "TESSALYCom", false, false, false},
        ProtoCase{"pop3_starttls_v6", false, "TESSALY", "TESSALY 2", "TESSALYCom", true, true, false},
        ProtoCase{"pop3_implicit_tls_v4", false, "TESSALY", "TESSALY 3", "TESSALYCom", true, false, true},
        ProtoCase{"pop3_implicit_tls_v6", false, "TESSALY", "TESSALY 4", "TESSALYCom", true, true, true},
        ProtoCase{"imap4_plain", true, "TESSIMO", "TESSIMO 1", "TESSIMOCom", false, false, false},
        ProtoCase{"imap4_starttls_v6", true, "TESSIMO", "TESSIMO 2", "TESSIMOCom", true, true, false},
        ProtoCase{"imap4_implicit_tls_v4", true, "TESSIMO", "TESSIMO 3", "TESSIMOCom", true, false, true},
        ProtoCase{"imap4_implicit_tls_v6", true, "TESSIMO", "TESSIMO 4", "TESSIMOCom", true, true, true},
        ProtoCase{"imap4_fetch_only", true, "IMAP4", "anything", "TESSALYCom", false, false, false}),
    [](const auto& i) { return std::string(i.param.name); });

// Near misses of the subject "TESSIMO 7" and of the X-Sender value that
// Dovecot's search finds (it ignores case, finds substrings and decodes
// encoded words), two old control mails, and plain foreign messages.
std::vector<std::string> NearMisses() {
  std::vector<std::string> m = {
      Mail("tessimo 7", ""),
      Mail("Re: TESSIMO 7", ""),
      Mail("TESSIMO 70", "TESSIMOCom"),
      Mail("=?UTF-8?Q?TESSIMO_7?=", ""),
      Mail("TESSIMO 7 [ext]", "xTESSIMOComx"),
      Mail("TESSIMO 6", "TESSIMOCom"),
  };
  for (int i = 0; i < 30; ++i) m.push_back(Mail("foreign " + std::to_string(i), ""));
  return m;
}

// The commands the client sent without their tags, from the trail.
std::vector<std::string> Sent(const CaptureTraceSink& trace) {
  std::vector<std::string> out;
  for (const std::string& line : trace.lines()) {
    if (line.rfind("-> IMAP4: ", 0) != 0) continue;
    const std::size_t sp = line.find(' ', 10);
    if (sp != std::string::npos) out.push_back(line.substr(sp + 1));
  }
  return out;
}
bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(text, 0) == 0; });
}

// The control mail among near misses: only the search's candidates are
// fetched, and exactly the check's own messages (X-Sender "TESSIMOCom")
// go, or with only-delete off every message.
TEST(RealImap4SearchTest, FindsTheControlMailAmongNearMisses) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  for (bool only_own : {true, false}) {
    ASSERT_TRUE(stack->ClearMailbox(kUser).ok());
    std::vector<std::string> mails = NearMisses();
    mails.insert(mails.begin() + 3, Mail("TESSIMO 7", "TESSIMOCom"));
    for (const std::string& m : mails) ASSERT_TRUE(stack->PutMessage(kUser, m).ok());
    Ops o(*stack);
    RetrieveArgs a = Args(*stack, true, "TESSIMO", "TESSIMO 7");
    a.only_delete_own = only_own;
    a.debug = true;
    EXPECT_EQ(o.ops.RetrieveMessagesImap4(a), "OK") << only_own;
    const std::vector<std::string> sent = Sent(o.trace);
    EXPECT_TRUE(AnyStartsWith(sent, "UID SEARCH ")) << only_own;
    EXPECT_FALSE(AnyStartsWith(sent, "UID FETCH 1:*")) << only_own;
    const auto left = stack->ReadMessages(kUser);
    EXPECT_EQ(left.size(), only_own ? mails.size() - 3 : 0u) << only_own;
    for (const auto& m : left) {
      EXPECT_EQ(m.text.find("X-Sender: TESSIMOCom\r\n"), std::string::npos) << m.text;
    }
  }
}

// Without the control mail every message is fetched for the wrong-subject
// list: result and what is left equal those of a client that never
// searches.
TEST(RealImap4SearchTest, WithoutTheControlMailAsWithoutSearch) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  std::string results[2];
  std::size_t left[2] = {0, 0};
  for (bool search : {true, false}) {
    ASSERT_TRUE(stack->ClearMailbox(kUser).ok());
    for (const std::string& m : NearMisses()) ASSERT_TRUE(stack->PutMessage(kUser, m).ok());
    Ops o(*stack, search);
    results[search] = o.ops.RetrieveMessagesImap4(Args(*stack, true, "TESSIMO", "TESSIMO 7"));
    left[search] = stack->ListMessages(kUser).size();
  }
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(results[1].rfind("ERR IMAP4: messages received with wrong subject (", 0), 0u)
      << results[1];
  for (const char* s : {"tessimo 7", "Re: TESSIMO 7", "TESSIMO 70", "=?UTF-8?Q?TESSIMO_7?=",
                        "TESSIMO 7 [ext]", "foreign 29"}) {
    EXPECT_NE(results[1].find(s), std::string::npos) << s;
  }
  EXPECT_EQ(left[1], left[0]);
  EXPECT_EQ(left[1], NearMisses().size() - 2);
}

TEST(RealCountTest, CountsThenDeletesAll) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  ASSERT_TRUE(stack->ClearMailbox(kUser).ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(stack->PutMessage(kUser, Mail("m", "")).ok());
  Ops o(*stack);
  CountArgs a;
  a.host = MailStack::host4();
  a.port = stack->pop3_port();
  a.user = kUser;
  a.password = stack->password(kUser);
  a.timeout = 10;
  EXPECT_EQ(o.ops.CountMessages(a), " 3 message(s) in this mailbox (bob)");
  a.delete_all = true;
  EXPECT_EQ(o.ops.CountMessages(a), " 3 message(s) in this mailbox (bob)");
  EXPECT_TRUE(stack->ListMessages(kUser).empty());
}

TEST(RealFailureTest, WrongPasswordAndMissingFolder) {
  TESSALY_REQUIRE_MAILSTACK(stack);
  ASSERT_TRUE(stack->ClearMailbox(kUser).ok());
  ASSERT_TRUE(stack->PutMessage(kUser, Mail("m", "")).ok());
  Ops o(*stack);
  RetrieveArgs a = Args(*stack, false, "TESSALY", "x");
  a.password = "wrong";
  EXPECT_EQ(o.ops.RetrieveMessages(a).rfind("ERR POP3:", 0), 0u);
  RetrieveArgs i = Args(*stack, true, "TESSIMO", "x");
  i.password = "wrong";
  EXPECT_EQ(o.ops.RetrieveMessagesImap4(i).rfind("ERR IMAP4:", 0), 0u);
  RetrieveArgs m = Args(*stack, true, "TESSIMO", "x");
  m.mailbox = "No Such Folder";
  const std::string missing = o.ops.RetrieveMessagesImap4(m);
  EXPECT_EQ(missing.rfind("ERR IMAP4:", 0), 0u) << missing;
  EXPECT_NE(missing.find(" (4)"), std::string::npos) << missing;
  EXPECT_EQ(stack->ListMessages(kUser).size(), 1u);
}

#else

TEST(RealRetrieveTest, ClientsNotBuilt) { GTEST_SKIP() << "POP3/IMAP4 clients not in this build"; }

#endif

}  // namespace
}  // namespace tessaly::testing
