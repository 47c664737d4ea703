#include "mail/mail_date.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tessaly {
namespace {

TEST(MailDateTest, ParseMailDate) {
  struct Case { const char* text; std::optional<std::int64_t> seconds; };
  const std::vector<Case> cases = {
      {"Thu, 11 Dec 2026 13:01:02 +0000", 1796994062},
      {"Thu, 11 Dec 2026 14:01:02 +0100 (CET)", 1796994062},
      {"  11 Dec 2026 08:01:02 -0500", 1796994062},
      {"Thu, 11 Dec 2026 13:01:02 GMT", 1796994062},
      {"Thu, 11 Dec 2026\r\n\t13:01:02 +0000", 1796994062},  // folded
      {"", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMailDate(c.text), c.seconds) << c.text;
}

TEST(MailDateTest, DeliverySeconds) {
  struct Case { const char* date; const char* received; std::optional<std::int64_t> seconds; };
  const std::vector<Case> cases = {
      {"Thu, 11 Dec 2026 13:01:02 +0000",
       "from a (a [127.0.0.1])\r\n\tby b (Postfix) with ESMTP id 1;\r\n\tThu, 11 Dec 2026 "
       "13:01:07 +0000 (UTC)", 5},
      // The date is after the last ";": a ";" inside the "for" clause does not count.
      {"Thu, 11 Dec 2026 13:01:02 +0000", "from a by b for <x;y@z>; Thu, 11 Dec 2026 13:01:03 +0000",
       1},
      {"Thu, 11 Dec 2026 13:01:09 +0000", "by b; Thu, 11 Dec 2026 13:01:07 +0000", -2},
      {"Thu, 11 Dec 2026 13:01:02 +0000", "from a by b with ESMTP", std::nullopt},
      {"Thu, 11 Dec 2026 13:01:02 +0000", "by b; not a date", std::nullopt},
      {"", "by b; Thu, 11 Dec 2026 13:01:07 +0000", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeliverySeconds(c.date, c.received), c.seconds) << c.received;
  }
}

}  // namespace
}  // namespace tessaly
