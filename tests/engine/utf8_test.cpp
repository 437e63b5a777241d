#include "engine/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorle::engine {
namespace {

std::string lossy(const std::string& bytes) {
  std::string out;
  append_lossy_utf8(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return out;
}

bool valid(const std::string& bytes) {
  return is_valid_utf8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

const std::string R = "\xEF\xBF\xBD";

TEST(Utf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
  struct Case {
    std::string bytes, text;
  };
  for (const Case& c : std::vector<Case>{
           {"", ""},
           {"plain ascii", "plain ascii"},
           {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
           {"a\xFF"
            "b",
            "a" + R + "b"},
           {"\xE0\x80", R + R},                  // E0 needs A0..BF next
           {"\xE0\xA0", R},                      // a truncated but valid prefix
           {"\xED\xA0\x80", R + R + R},          // surrogates are ill-formed
           {"\xF4\x90\x80\x80", R + R + R + R},  // beyond U+10FFFF
           {"\xF0\x9F\x98", R},
           {"\xF0\x9F\x98,", R + ","},
           {"\xC0\x80", R + R},  // overlong
           {"\xC2", R},
           {"\xC2\xC2\xA0", R + "\xC2\xA0"},
           {"\x80\x80", R + R},
           {"\xF5\x80", R + R},
           {std::string(13, 'a') + "\xFF" + std::string(9, 'b'),
            std::string(13, 'a') + R + std::string(9, 'b')},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(lossy(c.bytes), c.text);
    EXPECT_EQ(valid(c.bytes), c.bytes == c.text);
  }
}

TEST(Utf8, WhiteSpaceIsTheUnicodeProperty) {
  struct Case {
    std::string text;
    bool blank;
  };
  for (const Case& c : std::vector<Case>{
           {"", true},
           {"\t\n\x0B\x0C\r ", true},
           {"\xC2\x85\xC2\xA0\xE1\x9A\x80", true},
           {"\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80",
            true},
           {"\xE2\x80\x8B", false},  // zero width space
           {"\xEF\xBB\xBF", false},  // U+FEFF
           {R, false},
           {"\x1C", false},
           {" a ", false},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(is_white_space_only(c.text), c.blank);
  }
}

TEST(Utf8, TrackerDecidesAcrossPieces) {
  const std::string text = "\xE2\x80\xA8 \xE3\x80\x80";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    WhiteSpaceTracker t;
    t.reset();
    t.feed(reinterpret_cast<const std::uint8_t*>(text.data()), cut);
    t.feed(reinterpret_cast<const std::uint8_t*>(text.data()) + cut, text.size() - cut);
    EXPECT_TRUE(t.white_space_only()) << cut;
  }
  WhiteSpaceTracker unfinished;
  unfinished.feed(reinterpret_cast<const std::uint8_t*>("\xE2\x80"), 2);
  EXPECT_FALSE(unfinished.white_space_only());
}

}  // namespace
}  // namespace quorle::engine
