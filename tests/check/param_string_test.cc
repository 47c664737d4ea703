#include "check/param_string.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "check/vocab.h"

namespace tessaly {
namespace {

using std::string_literals::operator""s;

struct GetCase {
  const char* name;
  std::string params;
  std::string key;
  std::string want;
};

TEST(ParamStringTest, GetParameterValue) {
  const GetCase cases[] = {
      {"lower-case key", "#SSRV=a#SPORT=25#", "sport", "25"},
      {"key that is only a suffix", "#SSRV=a#SPORT=25#", "PORT", ""},
      {"first occurrence wins", "#MBOX=one#MBOX=two#", "MBOX", "one"},
      {"last item without closing hash", "#SSRV=a#SPORT=25", "SPORT", "25"},
      {"value keeps case and blanks", "#MBOX= In box #", "MBOX", " In box "},
      {"first item unreachable without leading hash", "SSRV=a#SPORT=25#",
       "SSRV", ""},
      {"key in string case-insensitive", "#ssrv=Mail.Example#", "SSRV",
       "Mail.Example"},
      {"blanks around key ignored", "#STO=x@y#", " STO\t", "x@y"},
      {"empty value", "#SSRV=#SPORT=25#", "SSRV", ""},
      {"empty string", "", "SSRV", ""},
      {"state value loses @@", "#OMODE=SMTP#@@NEXT=POP3@@#", "@@NEXT", "POP3"},
      {"state value without @@ kept", "#@@NEXT=POP3#", "@@next", "POP3"},
      {"only one @@ removed", "#@@SUBJECT=a@@@@#", "@@SUBJECT", "a@@"},
      {"plain key keeps @@", "#SKWORD=x@@#", "SKWORD", "x@@"},
      {"value with equals", "#SFROM=a=b#", "SFROM", "a=b"},
      {"high and NUL bytes kept", "#PUSR=\xE4\x00\xFF#"s, "PUSR",
       "\xE4\x00\xFF"s},
      {"key with hash does not underflow", "#A#B=c#", "A#B", "c"},
      {"non-ASCII bytes not case-folded", "#K\xE4=1#", "K\xC4", ""},
  };
  for (const GetCase& c : cases) {
    EXPECT_EQ(GetParameterValue(c.params, c.key), c.want) << c.name;
  }
}

struct SetCase {
  const char* name;
  std::string params;
  std::string key;
  std::string value;
  std::string want;
};

TEST(ParamStringTest, SetParameterValue) {
  const SetCase cases[] = {
      {"state key appended with @@", "#OMODE=SMTP#", "@@NEXT", "POP3",
       "#OMODE=SMTP#@@NEXT=POP3@@#"},
      {"state key replaced in place", "#OMODE=SMTP#@@NEXT=POP3@@#", "@@NEXT",
       "SMTP", "#OMODE=SMTP#@@NEXT=SMTP@@#"},
      {"empty string", "", "SSRV", "mx", "#SSRV=mx#"},
      {"missing closing hash added", "#SSRV=a", "SPORT", "25",
       "#SSRV=a#SPORT=25#"},
      {"replace in the middle", "#SSRV=a#SPORT=25#STO=b#", "sport", "587",
       "#SSRV=a#SPORT=587#STO=b#"},
      {"replace keeps key spelling", "#sPort=25#", "SPORT", "1",
       "#sPort=1#"},
      {"replace last item without closing hash", "#SSRV=a#SPORT=25", "SPORT",
       "110", "#SSRV=a#SPORT=110"},
      {"only first occurrence replaced", "#MBOX=a#MBOX=b#", "MBOX", "c",
       "#MBOX=c#MBOX=b#"},
      {"empty value", "#SSRV=a#", "SSRV", "", "#SSRV=#"},
      {"appended key without blanks", "#", " DALL ", "T", "#DALL=T#"},
      {"not beginning with hash", "SSRV=a", "SSRV", "b", "SSRV=a#SSRV=b#"},
      {"bytes kept", "#X=1#", "X", "\x00\xFF"s, "#X=\x00\xFF#"s},
  };
  for (const SetCase& c : cases) {
    const std::string got = SetParameterValue(c.params, c.key, c.value);
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_EQ(GetParameterValue(got, c.key), c.value) << c.name;
  }
}

struct EscapeCase {
  const char* name;
  std::string text;
  bool escape_hash;
  std::string escaped;
};

TEST(ParamStringTest, EscapeValueAndBack) {
  const EscapeCase cases[] = {
      {"all four tokens", "a\rb\nc\"d#e", true,
       "a{0x0d}b{0x0a}c{0x22}d{0x23}e"},
      {"hash kept when not asked", "a#\"", false, "a#{0x22}"},
      {"blanks and braces not escaped", " {x} ", true, " {x} "},
      {"empty", "", true, ""},
      {"every repeat replaced", "\r\r\n\n", true,
       "{0x0d}{0x0d}{0x0a}{0x0a}"},
      {"bytes kept", "\x00\x80\xFF"s, true, "\x00\x80\xFF"s},
  };
  for (const EscapeCase& c : cases) {
    EXPECT_EQ(EscapeValue(c.text, c.escape_hash), c.escaped) << c.name;
    EXPECT_EQ(UnescapeValue(c.escaped), c.text) << c.name;
  }
}

struct UnescapeCase {
  const char* name;
  std::string text;
  std::string want;
};

TEST(ParamStringTest, UnescapeValue) {
  const UnescapeCase cases[] = {
      {"letter o variant", "a{0xod}b", "a\rb"},
      {"blank token typed literally", "john{0x20}doe", "john doe"},
      {"upper case not a token", "{0X0D}{0x0D}", "{0X0D}{0x0D}"},
      {"broken token kept", "{0x0d{0x2", "{0x0d{0x2"},
      {"replacement forms no new token", "{0x{0x23}23}", "{0x#23}"},
      {"nested braces", "{{0x22}}", "{\"}"},
      {"all tokens", "{0x0d}{0x0a}{0x20}{0x22}{0x23}", "\r\n \"#"},
  };
  for (const UnescapeCase& c : cases) {
    EXPECT_EQ(UnescapeValue(c.text), c.want) << c.name;
  }
}

TEST(ParamStringTest, ParseFlag) {
  const struct {
    const char* value;
    bool want;
  } cases[] = {{"T", true},  {"t", false},    {"F", false},  {"", false},
               {" T", false}, {"T ", false},  {"True", false}, {"1", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(ParseFlag(c.value), c.want) << '"' << c.value << '"';
  }
}

TEST(ParamStringTest, LeadingNumber) {
  const struct {
    const char* text;
    double want;
  } cases[] = {
      {"25", 25},       {"  \t42abc", 42}, {"-7", -7},      {"+3", 3},
      {"3.75", 3.75},   {".5", 0.5},       {"5.", 5},       {"-.25", -0.25},
      {"", 0},          {"abc", 0},        {"-", 0},        {".", 0},
      {"1e3", 1},       {"0x1F", 0},       {"1 2", 1},      {"1,5", 1},
      {"- 5", 0},       {"--5", 0},        {"007", 7},      {"1.2.3", 1.2},
      {"-0", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LeadingNumber(c.text), c.want) << '"' << c.text << '"';
  }
  EXPECT_FALSE(std::signbit(LeadingNumber("-0"))) << "-0 reads as plain 0";
  const std::string huge(400, '9');
  EXPECT_EQ(LeadingNumber(huge), std::numeric_limits<double>::infinity());
  EXPECT_EQ(LeadingNumber("-" + huge), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(LeadingNumber("0." + std::string(400, '0') + "1"), 0.0);
}

TEST(ParamStringTest, LeadingInt) {
  const struct {
    std::string text;
    int want;
  } cases[] = {
      {"110", 110},
      {"2.9", 2},
      {"-2.9", -2},
      {"x", 0},
      {"99999999999", std::numeric_limits<int>::max()},
      {"-99999999999", std::numeric_limits<int>::min()},
      {std::string(400, '9'), std::numeric_limits<int>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LeadingInt(c.text), c.want) << '"' << c.text << '"';
  }
}

TEST(ParamStringTest, TrimBlanks) {
  EXPECT_EQ(TrimBlanks(" \t a b \t "), "a b");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(TrimBlanks("\na\r"), "\na\r") << "only space and tab are blanks";
}

TEST(VocabTest, ModesPhasesComparisons) {
  for (const std::string_view mode : vocab::kModes) {
    EXPECT_TRUE(vocab::IsKnownMode(mode)) << mode;
  }
  EXPECT_FALSE(vocab::IsKnownMode("smtp")) << "modes compare with case";
  EXPECT_FALSE(vocab::IsKnownMode(""));
  EXPECT_TRUE(vocab::IsKnownPhase("COUNTPOP3"));
  EXPECT_FALSE(vocab::IsKnownPhase("CPOP"));
  const struct {
    int index;
    std::string_view want;
  } cases[] = {{0, "LT"}, {1, "GT"}, {2, "EQ"}, {3, "DF"}, {4, "LT"}, {-1, "LT"}};
  for (const auto& c : cases) {
    EXPECT_EQ(vocab::ComparisonAt(c.index), c.want) << c.index;
  }
}

// The dialog's composed string: every key it writes reads back the value it
// was set to, and the string ends with "#".
TEST(ParamStringTest, ComposedStringRoundTrip) {
  std::string params;
  for (const std::string_view key : vocab::kDialogKeys) {
    params = SetParameterValue(params, key, std::string(key) + "-v");
  }
  ASSERT_EQ(params.substr(0, 14), "#SSRV=SSRV-v#S");
  EXPECT_EQ(params.back(), '#');
  for (const std::string_view key : vocab::kDialogKeys) {
    EXPECT_EQ(GetParameterValue(params, key), std::string(key) + "-v") << key;
  }
}

}  // namespace
}  // namespace tessaly
