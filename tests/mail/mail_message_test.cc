#include "mail/mail_message.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessaly {
namespace {

TEST(MailMessageTest, ComposesHeaderSetBodyAndCrlf) {
  MailMessage m{"check@example.org", "box@example.org", "TESSALY 9574520210615",
                "X-Sender: TESSALYCom", "Vigilor TESSALY COM check control mail"};
  std::string text;
  // 2021-06-15 09:05:07 UTC, a Tuesday.
  ASSERT_TRUE(ComposeMessage(m, 1623747907, "<id.1@example.org>", &text).ok());
  EXPECT_EQ(text,
            "From: check@example.org\r\n"
            "To: box@example.org\r\n"
            "Subject: TESSALY 9574520210615\r\n"
            "Date: Tue, 15 Jun 2021 09:05:07 +0000\r\n"
            "Message-ID: <id.1@example.org>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n"
            "X-Sender: TESSALYCom\r\n"
            "\r\n"
            "Vigilor TESSALY COM check control mail\r\n");
  m.extra_header.clear();
  ASSERT_TRUE(ComposeMessage(m, 1623747907, "<id.1@example.org>", &text).ok());
  EXPECT_EQ(text.find("X-Sender"), std::string::npos);
}

TEST(MailMessageTest, BodyLineEndsBecomeCrlf) {
  struct Case {
    const char* name;
    std::string body, want_tail;
  };
  const Case cases[] = {
      {"one line", "abc", "\r\n\r\nabc\r\n"},
      {"already ended", "abc\r\n", "\r\n\r\nabc\r\n"},
      {"bare LF", "a\nb", "\r\n\r\na\r\nb\r\n"},
      {"bare CR", "a\rb", "\r\n\r\na\r\nb\r\n"},
      {"empty", "", "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    MailMessage m{"a@b.c", "d@e.f", "s", "", c.body};
    std::string text;
    ASSERT_TRUE(ComposeMessage(m, 0, "<x@b.c>", &text).ok()) << c.name;
    ASSERT_GE(text.size(), c.want_tail.size()) << c.name;
    EXPECT_EQ(text.substr(text.size() - c.want_tail.size()), c.want_tail) << c.name;
  }
}

TEST(MailMessageTest, LineBreakInHeaderFieldRefused) {
  struct Case {
    const char* name;
    MailMessage m;
  };
  const Case cases[] = {
      {"from", {"a@b.c\r\nBcc: x@y.z", "d@e.f", "s", "", "b"}},
      {"to", {"a@b.c", "d@e.f\n", "s", "", "b"}},
      {"subject", {"a@b.c", "d@e.f", "s\rX-Evil: 1", "", "b"}},
      {"extra header", {"a@b.c", "d@e.f", "s", "X-Sender: T\r\n\r\nbody", "b"}},
  };
  for (const Case& c : cases) {
    std::string text = "old";
    EXPECT_FALSE(ComposeMessage(c.m, 0, "<x@b.c>", &text).ok()) << c.name;
    EXPECT_EQ(text, "") << c.name;
  }
}

TEST(MailMessageTest, DotStuffing) {
  struct Case {
    const char* name;
    std::string in, want;
  };
  const Case cases[] = {
      {"no dots", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"leading dot first line", ".a\r\n", "..a\r\n"},
      {"lone dot line", "a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n"},
      {"dot inside line", "a.b\r\n", "a.b\r\n"},
      {"two dots", "..\r\n", "...\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(DotStuff(c.in), c.want) << c.name;
}

TEST(MailMessageTest, MessageIdsAreUniqueAndWellFormed) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.insert(NewMessageId("example.org"));
  EXPECT_EQ(ids.size(), 1000u);
  const std::string id = *ids.begin();
  EXPECT_EQ(id.front(), '<');
  EXPECT_EQ(id.substr(id.size() - 13), "@example.org>");
  struct Case {
    const char* from;
    const char* want;
  };
  const Case cases[] = {{"a@example.org", "example.org"}, {"a", "tessaly.invalid"},
                        {"a@", "tessaly.invalid"}, {"a@b>c", "tessaly.invalid"},
                        {"x@y@mail.example", "mail.example"}};
  for (const Case& c : cases) EXPECT_EQ(MessageIdDomain(c.from), c.want) << c.from;
}

}  // namespace
}  // namespace tessaly
