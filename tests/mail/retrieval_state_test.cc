#include "mail/retrieval_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

constexpr std::size_t kMax = kMaxReceivedSubjectsBytes;

TEST(ReceivedSubjectsTest, ExactBelowTheCapCutOnceAbove) {
  const std::string e_acute = "\xC3\xA9";
  struct Case {
    const char* name;
    std::vector<std::string> subjects;
    std::string want;
  };
  const Case cases[] = {
      {"short list exact", {"a", "", "-b"}, "-a--" "-b"},
      {"fills the cap exactly", {std::string(kMax - 1, 'x')}, "-" + std::string(kMax - 1, 'x')},
      {"one byte over", {std::string(kMax, 'x')}, "-" + std::string(kMax - 1, 'x') + "[cut]"},
      {"next subject after a full list", {std::string(kMax - 1, 'x'), "y"},
       "-" + std::string(kMax - 1, 'x') + "[cut]"},
      {"later subjects dropped after the cut", {std::string(kMax, 'x'), "y", "z"},
       "-" + std::string(kMax - 1, 'x') + "[cut]"},
      // After "-a-" there is room for an odd number of bytes of the second
      // subject: the last two-byte sequence would be split and is left out.
      {"never inside a UTF-8 sequence", {"a", [&] {
         std::string s;
         while (s.size() < kMax) s += e_acute;
         return s;
       }()},
       [&] {
         std::string s = "-a-";
         while (s.size() + 2 <= kMax) s += e_acute;
         return s + "[cut]";
       }()},
  };
  for (const Case& c : cases) {
    RetrievalState state;
    for (const std::string& s : c.subjects) state.AddReceivedSubject(s);
    EXPECT_EQ(state.received_subjects, c.want) << c.name;
    EXPECT_LE(state.received_subjects.size(), kMax + 5) << c.name;
    state.ClearReceivedSubjects();
    state.AddReceivedSubject("n");
    EXPECT_EQ(state.received_subjects, "-n") << c.name << ": cleared for the next retrieval";
  }
}

}  // namespace
}  // namespace tessaly
