#include "mail/header_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

std::vector<std::string> Parse(const std::vector<std::string>& lines, bool* ended) {
  std::vector<std::string> out;
  HeaderParser p([&](std::string_view n, std::string_view v) {
    out.push_back(std::string(n) + "|" + std::string(v));
  });
  *ended = false;
  for (const std::string& l : lines) *ended = p.AddLine(l) || *ended;
  p.Finish();
  return out;
}

TEST(HeaderParser, SplitsAndUnfolds) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> fields;
    bool ended;
  } cases[] = {
      {"simple", {"Subject: hi", "X-Sender: a", ""}, {"Subject|hi", "X-Sender|a"}, true},
      {"blanks around value", {"Subject: \t  hi there \t ", ""}, {"Subject|hi there"}, true},
      // CR CR LF line ends: the CR left on each line ends it, and a line of
      // one CR is the empty line that ends the header.
      {"cr cr lf", {"Subject: TESSALY 42\r", "X-Sender: TESSALYCom\r", "\r", "B: body\r"},
       {"Subject|TESSALY 42", "X-Sender|TESSALYCom"}, true},
      {"cr cr lf folded", {"Subject: a \r", "\tb\r\r", ""}, {"Subject|a \tb"}, true},
      {"blank and cr", {"X-Sender: TESSALYCom \t\r", ""}, {"X-Sender|TESSALYCom"}, true},
      {"only blanks", {"Subject:  \r", ""}, {"Subject|"}, true},
      {"inner cr kept", {"Subject: a\rb", ""}, {"Subject|a\rb"}, true},
      {"no blank", {"Subject:hi", ""}, {"Subject|hi"}, true},
      {"empty value", {"Subject:", ""}, {"Subject|"}, true},
      {"folded", {"Subject: a", " b", "\tc", ""}, {"Subject|a b\tc"}, true},
      {"body ignored", {"A: 1", "", "B: 2"}, {"A|1"}, true},
      {"no end line", {"A: 1", "B: 2"}, {"A|1", "B|2"}, false},
      {"junk line skipped", {"junk", " cont", "A: 1", ""}, {"A|1"}, true},
      {"8-bit kept", {"Subject: \xe4\xf6", ""}, {"Subject|\xe4\xf6"}, true},
      {"blank before colon", {"Subject : x", ""}, {"Subject|x"}, true},
  };
  for (const Case& c : cases) {
    bool ended = false;
    EXPECT_EQ(Parse(c.lines, &ended), c.fields) << c.name;
    EXPECT_EQ(ended, c.ended) << c.name;
  }
}

TEST(HeaderParser, CapsHugeField) {
  std::string value;
  HeaderParser p([&](std::string_view, std::string_view v) { value = v; });
  p.AddLine("Subject: " + std::string(1 << 20, 'x'));
  for (int i = 0; i < 100; ++i) p.AddLine(" " + std::string(1 << 16, 'y'));
  p.AddLine("");
  EXPECT_TRUE(p.truncated());
  EXPECT_EQ(value.size(), HeaderParser::kMaxField - 9);
}

}  // namespace
}  // namespace tessaly
