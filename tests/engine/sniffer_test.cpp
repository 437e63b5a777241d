#include "engine/sniffer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorle::engine {
namespace {

std::string repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out += s;
  return out;
}

TEST(SniffDelimiter, PicksTheCandidateWithTheBestScore) {
  struct Case {
    std::string name, text;
    char expected;
  };
  for (const Case& c : std::vector<Case>{
           {"empty", "", ','},
           {"byte order mark only", "\xEF\xBB\xBF", ','},
           {"blank lines only", "\n\n \n\t\r\n", ','},
           {"single record", "a;b;c", ','},
           {"semicolon", "a;b\nc;d\n", ';'},
           {"vertical bar", "a|b\nc|d\n", '|'},
           {"tab", "a\tb\nc\td\n", '\t'},
           {"equal scores go to the earlier candidate", "a,b;c\nd,e;f\n", ','},
           {"consistent 2 beats 3 in three of four", "1,2,3;4\n1,2,3;4\n1,2,3;4\n1,2;3\n", ';'},
           {"3 in all four beats consistent 2", "1,2,3;4\n1,2,3;4\n1,2,3;4\n1,2,3;4\n", ','},
           {"never split scores zero", "abc\ndef\nghi\n", ','},
           {"quoted delimiter does not split", "\"a,b\";c\n\"d,e\";f\n", ';'},
           {"byte order mark is not text",
            "\xEF\xBB\xBF"
            "a;b\nc;d\n",
            ';'},
           {"blank and white-space lines are skipped", "a;b\n \n\xC2\xA0\n\nc;d\n", ';'},
           {"white-space line that the tab splits counts", "a;b\n\t\nc;d\n", ';'},
           {"only the first 50 counted records", repeat("a;b\n", 50) + repeat("a,b,c,d\n", 200),
            ';'},
           {"skipped lines do not count towards 50",
            repeat("a;b\n\n   \n", 50) + repeat("a,b,c,d\n", 200), ';'},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sniff_delimiter(c.text), static_cast<std::uint8_t>(c.expected));
  }
}

TEST(SniffDelimiter, TiedModeIsTheCountSeenFirst) {
  // Comma counts [3,4,3,4,3,4,1,1,1,1]: 3 and 4 tie. Taking 3 scores 0.3 * ln 3 = 0.33 and loses
  // to the semicolon's 0.4; taking 4 would score 0.3 * ln 4 = 0.42 and win.
  const std::string three = "a,b,c;d\n", four = "a,b,c,d;e\n";
  const std::string tail = "a,b,c\na,b,c,d\nx\nx\nx\nx\n";
  const std::string tail_four_first = "a,b,c,d\na,b,c\nx\nx\nx\nx\n";
  EXPECT_EQ(sniff_delimiter(three + four + three + four + tail), ';');
  EXPECT_EQ(sniff_delimiter(four + three + four + three + tail_four_first), ',');
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(sniff_delimiter(three + four + three + four + tail), ';');
}

}  // namespace
}  // namespace quorle::engine
