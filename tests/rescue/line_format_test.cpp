#include "rescue/line_format.hpp"
#include "rescue/quarantine_file.hpp"

#include <gtest/gtest.h>

namespace quorle::rescue {
namespace {

TEST(EncodeField, QuotesOnlyWhatNeedsIt) {
  struct Case {
    std::string text;
    char32_t delimiter;
    std::uint8_t quote;
    std::string encoded;
  };
  for (const Case& c : std::vector<Case>{
           {"a\"b", U',', '"', "\"a\"\"b\""},
           {"line\nbreak", U',', '"', "\"line\nbreak\""},
           {"cr\ronly", U',', '"', "\"cr\ronly\""},
           {"  blanks  ", U',', '"', "  blanks  "},
           {"", U',', '"', ""},
           {"a,b", U';', '"', "a,b"},
           {"a;b", U';', '"', "\"a;b\""},
           {"say \"hi\"", U',', '\'', "say \"hi\""},
           {"it's", U',', '\'', "'it''s'"},
           {"x\xC2\xA7y", U'\xA7', '"', "\"x\xC2\xA7y\""},
           {"x\xA7y", U'\xA7', '"', "x\xA7y"},  // a lone byte is not the two-byte delimiter
           {"a\xC3\xA9"
            "b",
            U',', 0xE9,
            "\xC3\xA9"
            "a\xC3\xA9\xC3\xA9"
            "b\xC3\xA9"},
           {std::string(40, 'x') + ",", U',', '"', "\"" + std::string(40, 'x') + ",\""},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(encode_field(c.text, c.delimiter, c.quote), c.encoded);
  }
}

TEST(FormatOutputLine, JoinsWithTheDelimiterAndEndsWithLf) {
  EXPECT_EQ(format_output_line({"", "", ""}, U',', '"'), ",,\n");
  EXPECT_EQ(format_output_line({""}, U',', '"'), "\n");
  EXPECT_EQ(format_output_line({"a", "b,c", "d\"e"}, U',', '"'), "a,\"b,c\",\"d\"\"e\"\n");
  EXPECT_EQ(format_output_line({"a", "b"}, U'\t', '"'), "a\tb\n");
  EXPECT_EQ(format_output_line({"a", "b"}, U'\xA7', '"'),
            "a\xC2\xA7"
            "b\n");
}

TEST(FormatQuarantineLine, RebuildsTheRawContent) {
  struct Case {
    engine::QuarantineEntry entry;
    char32_t delimiter;
    std::string line;
  };
  for (const Case& c : std::vector<Case>{
           {{{"x", "y"}, "Row has too few columns (expected 3)", 7},
            U';',
            "7,\"Row has too few columns (expected 3)\",\"x;y\"\n"},
           {{{"a\"b", "c"}, "Row has extra columns (expected 1)", 12},
            U',',
            "12,\"Row has extra columns (expected 1)\",\"a\"\"b,c\"\n"},
           {{{"a", "b"}, "r", 1}, U'\t', "1,\"r\",\"a\tb\"\n"},
           {{{"multi\nline", "it's"}, "r", 2}, U',', "2,\"r\",\"multi\nline,it's\"\n"},
           {{{"a", "b"}, "r", 3},
            U'\xA7',
            "3,\"r\",\"a\xC2\xA7"
            "b\"\n"},
       }) {
    EXPECT_EQ(format_quarantine_line(c.entry, c.delimiter), c.line);
  }
}

}  // namespace
}  // namespace quorle::rescue
