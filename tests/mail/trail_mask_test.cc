#include "mail/trail_mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

TEST(TrailMask, MasksCredentials) {
  struct Case {
    const char* name;
    // Lines in order; a leading "S:" marks a server line (not shown).
    std::vector<std::string> lines;
    std::vector<std::string> shown;
  } cases[] = {
      {"pop3 pass", {"USER alice", "PASS secret"}, {"USER alice", "PASS ****"}},
      {"pop3 pass lower", {"pass secret"}, {"PASS ****"}},
      {"apop", {"APOP alice 0123abcd"}, {"APOP alice ****"}},
      {"auth initial", {"AUTH PLAIN AGFsaWNlAHM=", "S:+OK", "STAT"},
       {"AUTH PLAIN ****", "STAT"}},
      {"auth exchange", {"AUTH LOGIN", "S:+ VXNlcg==", "YWxpY2U=", "S:+ UGFzcw==",
                         "c2VjcmV0", "S:+OK done", "STAT"},
       {"AUTH LOGIN", "****", "****", "STAT"}},
      {"imap login quoted", {"a1 LOGIN \"alice\" \"se cr\\\"et\""},
       {"a1 LOGIN \"alice\" ****"}},
      {"imap login atom", {"a1 login alice secret"}, {"a1 login alice ****"}},
      {"imap login literal", {"a1 LOGIN \"alice\" {6}", "S:+ go", "secret", "a2 SELECT x"},
       {"a1 LOGIN \"alice\" {6}", "****", "a2 SELECT x"}},
      {"imap user literal", {"a1 LOGIN {5}", "S:+ go", "alice \"secret\""},
       {"a1 LOGIN {5}", "alice ****"}},
      {"imap authenticate", {"a1 AUTHENTICATE PLAIN", "S:+ ", "AGFsaWNlAHM=", "S:a1 OK"},
       {"a1 AUTHENTICATE PLAIN", "****"}},
      {"other untouched", {"a1 SELECT \"INBOX\"", "TOP 1 0"}, {"a1 SELECT \"INBOX\"", "TOP 1 0"}},
  };
  for (const Case& c : cases) {
    TrailMask mask;
    std::vector<std::string> shown;
    for (const std::string& l : c.lines) {
      if (l.rfind("S:", 0) == 0) {
        mask.Received(std::string_view(l).substr(2));
      } else {
        shown.push_back(mask.Sent(l));
      }
    }
    EXPECT_EQ(shown, c.shown) << c.name;
  }
}

}  // namespace
}  // namespace tessaly
