#include "env/helo_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_env.h"

namespace tessaly {
namespace {

struct HeloCase {
  const char* name;
  std::string setting;
  std::string smtp_server;
  bool has_computer_name;
  std::string domain;
  std::vector<std::string> adapters;
  std::string want;
};

class BuildHeloNameTest : public ::testing::TestWithParam<HeloCase> {};

TEST_P(BuildHeloNameTest, GivesName) {
  const HeloCase& c = GetParam();
  testing::FakeOsFacts os;
  os.computer_name = "mailcheck";
  os.has_computer_name = c.has_computer_name;
  os.domain = c.domain;
  os.adapters = c.adapters;
  EXPECT_EQ(BuildHeloName(c.setting, c.smtp_server, os), c.want) << c.name;
}

const std::vector<std::string> kTwoAdapters = {"0.0.0.0", "192.0.2.7", "198.51.100.3"};
const std::string kPlaceholder(kPlaceholderHeloName);

INSTANTIATE_TEST_SUITE_P(
    Steps, BuildHeloNameTest,
    ::testing::Values(
        HeloCase{"Five_WithDomain", "5", "", true, "example.org", kTwoAdapters,
                 "mailcheck.example.org"},
        HeloCase{"Five_NoDomain_FirstUsableAdapter", "5", "", true, "", kTwoAdapters,
                 "192.0.2.7"},
        HeloCase{"Five_NoDomain_NoAdapter", "5", "", true, "", {}, kPlaceholder},
        HeloCase{"Zero_EmptyServer", "0", "", true, "", {}, "name.of.mail.server"},
        HeloCase{"Zero_Server", "0", "smtp.example.org", true, "", {}, "smtp.example.org"},
        HeloCase{"Zero_ServerKeptUnchanged", "0", " mx ", true, "", {}, " mx "},
        HeloCase{"One", "1", "", true, "example.org", {}, "mailcheck"},
        HeloCase{"One_NoComputerName", "1", "", false, "", {}, "unknown"},
        HeloCase{"Two_Domain", "2", "", true, "example.org", {}, "example.org"},
        HeloCase{"Two_NoDomain", "2", "", true, "", {}, "NO.DOMAIN.NAME"},
        HeloCase{"Three_Domain", "3", "", true, "example.org", {}, "mailcheck.example.org"},
        HeloCase{"Three_NoDomain", "3", "", true, "", {}, "mailcheck.NO.DOMAIN.NAME"},
        HeloCase{"Three_NoDomain_NoComputerName", "3", "", false, "", {},
                 "unknown.NO.DOMAIN.NAME"},
        HeloCase{"Four_FirstAdapter", "4", "", true, "example.org", kTwoAdapters, "192.0.2.7"},
        HeloCase{"Four_AllZero", "4", "", true, "", {"0.0.0.0", "0.0.0.0"}, kPlaceholder},
        HeloCase{"Four_NoAdapters", "4", "", true, "", {}, kPlaceholder},
        HeloCase{"Seven_AsFive", "7", "", true, "example.org", {}, "mailcheck.example.org"},
        HeloCase{"MinusOne_AsFive", "-1", "", true, "", kTwoAdapters, "192.0.2.7"},
        HeloCase{"HugeNumber_AsFive", "99999999999999999999", "", true, "example.org", {},
                 "mailcheck.example.org"},
        HeloCase{"LeadingZero_SelectsNothing", "03", "", true, "example.org", {}, kPlaceholder},
        HeloCase{"PlusSign_SelectsNothing", "+1", "", true, "example.org", {}, kPlaceholder},
        HeloCase{"Fqdn_Literal", "mx.example.org", "", true, "", {}, "mx.example.org"},
        HeloCase{"Ipv4_Literal", "192.0.2.9", "", true, "", {}, "192.0.2.9"},
        HeloCase{"Decimal_Literal", "1.5", "", true, "", {}, "1.5"},
        HeloCase{"Word_Literal", "gateway", "", true, "", {}, "gateway"},
        HeloCase{"Exponent_Literal", "1e3", "", true, "", {}, "1e3"},
        HeloCase{"Dot_Placeholder", ".", "", true, "", {}, kPlaceholder},
        HeloCase{"SpacedDot_Placeholder", " . ", "", true, "", {}, kPlaceholder},
        HeloCase{"Spaces_Placeholder", "   ", "", true, "", {}, kPlaceholder},
        HeloCase{"LiteralNotTrimmed", " gateway", "", true, "", {}, " gateway"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BuildHeloNameTest, QueriesFactsAnewOnEveryCall) {
  testing::FakeOsFacts os;
  os.domain = "example.org";
  EXPECT_EQ(BuildHeloName("5", "", os), "mailcheck.example.org");
  os.domain = "example.net";
  EXPECT_EQ(BuildHeloName("5", "", os), "mailcheck.example.net");
}

struct AdapterCase {
  const char* name;
  std::vector<std::string> adapters;
  std::string separator;
  std::string want;
};

class GetAdapterAddressesTest : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(GetAdapterAddressesTest, Joins) {
  const AdapterCase& c = GetParam();
  testing::FakeOsFacts os;
  os.adapters = c.adapters;
  EXPECT_EQ(GetAdapterAddresses(os, c.separator), c.want) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, GetAdapterAddressesTest,
    ::testing::Values(
        AdapterCase{"None", {}, "+", ""},
        AdapterCase{"AllZero", {"0.0.0.0"}, "+", ""},
        AdapterCase{"One", {"192.0.2.7"}, "+", "192.0.2.7"},
        AdapterCase{"ZeroSkipped", {"192.0.2.7", "0.0.0.0", "198.51.100.3"}, "+",
                    "192.0.2.7+198.51.100.3"},
        AdapterCase{"LongSeparator", {"192.0.2.7", "198.51.100.3"}, ", ",
                    "192.0.2.7, 198.51.100.3"},
        AdapterCase{"EmptySeparator", {"1.2.3.4", "5.6.7.8"}, "", "1.2.3.45.6.7.8"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tessaly
