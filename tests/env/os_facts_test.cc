#include "env/os_facts.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaly {
namespace {

TEST(SystemOsFactsTest, ReturnsMachineFacts) {
  OsFacts& os = SystemOsFacts();
  std::string name;
  ASSERT_TRUE(os.ComputerName(&name));
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('.'), std::string::npos);
  const std::string domain = os.DnsDomain();
  EXPECT_EQ(domain.find('\0'), std::string::npos);
  for (const std::string& a : os.AdapterAddresses()) {
    EXPECT_NE(a, "0.0.0.0");
    EXPECT_NE(a.rfind("127.", 0), 0u) << a;
  }
}

TEST(ResolvConfDomainTest, Parses) {
  struct Case {
    const char* name;
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"Empty", "", ""},
      {"Domain", "nameserver 192.0.2.1\ndomain example.org\n", "example.org"},
      {"SearchFirstName", "search corp.example.org example.org\n", "corp.example.org"},
      {"LastWins", "domain a.example\nsearch b.example c.example\n", "b.example"},
      {"CommentsIgnored", "# domain x.example\n; search y.example\ndomain z.example # c\n",
       "z.example"},
      {"TrailingDotDropped", "domain example.org.\n", "example.org"},
      {"KeywordWithoutName", "domain\n", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolvConfDomain(c.text), c.want) << c.name;
}

TEST(HostsFileDomainTest, Parses) {
  struct Case {
    const char* name;
    std::string text;
    std::string host;
    std::string want;
  };
  const Case cases[] = {
      {"CanonicalFqdn", "127.0.1.1 mailcheck.example.org mailcheck\n", "mailcheck",
       "example.org"},
      {"CaseInsensitive", "10.0.0.5 MailCheck.Example.Org MAILCHECK\n", "mailcheck",
       "Example.Org"},
      {"ShortCanonical", "127.0.1.1 mailcheck\n", "mailcheck", ""},
      {"OtherHostFirst", "127.0.0.1 localhost\n10.0.0.5 mailcheck.example.org mailcheck\n",
       "mailcheck", "example.org"},
      {"CanonicalOfOtherName", "10.0.0.5 relay.example.org mailcheck\n", "mailcheck", ""},
      {"Commented", "# 10.0.0.5 mailcheck.example.org mailcheck\n", "mailcheck", ""},
      {"NotListed", "10.0.0.5 other.example.org other\n", "mailcheck", ""},
      {"EmptyHost", "10.0.0.5 a.b\n", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HostsFileDomain(c.text, c.host), c.want) << c.name;
}

}  // namespace
}  // namespace tessaly
