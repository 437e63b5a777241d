// read_sample_records against the csv module: each expected reading below is what Python's
// csv.reader (strict=False) gives for the same lines and dialect.
#include "engine/sample_records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorle::engine {
namespace {

constexpr char32_t NONE = SampleDialect::NO_CHAR;

/// Physical lines, each with its break (CR LF, LF or a lone CR), as detection cuts them.
std::vector<std::u32string> split_lines(const std::u32string& text) {
  std::vector<std::u32string> lines(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    lines.back() += text[i];
    const bool crlf = text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n';
    if ((text[i] == U'\n' || text[i] == U'\r') && !crlf) lines.emplace_back();
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

/// "first-last[field|field]" for each record, one space apart.
std::u32string shown(const SampleRecords& read) {
  std::u32string out;
  for (const SampleRecord& r : read.records) {
    if (!out.empty()) out += U' ';
    out += std::u32string(U"") + char32_t(U'0' + r.first_line) + U'-' +
           char32_t(U'0' + r.last_line) + U'[';
    for (std::size_t f = 0; f < r.field_count; ++f) {
      if (f) out += U'|';
      out += read.field(r.first_field + f);
    }
    out += U']';
  }
  return out;
}

TEST(SampleRecords, ReadsAsTheCsvModule) {
  struct Case {
    const char* name;
    std::u32string text;
    SampleDialect dialect;
    std::u32string expected;
    std::size_t limit = SIZE_MAX;
  };
  const SampleDialect comma{U',', U'"', NONE, false};
  for (const Case& c : std::vector<Case>{
           {"plain", U"a,b\n1,2\n", comma, U"1-1[a|b] 2-2[1|2]"},
           {"quoted field over two lines", U"a,\"b\nc\",d\n\nx", comma,
            U"1-2[a|b\nc|d] 3-3[] 4-4[x]"},
           {"doubled quote, text after the closing one", U"\"a\"\"b\",c\n\"x\"y,z\n", comma,
            U"1-1[a\"b|c] 2-2[xy|z]"},
           {"unclosed quote runs to the end", U"a,\"b\nc\n", comma, U"1-2[a|b\nc\n]"},
           {"quotes as text", U"\"a,b\"\n", {U',', NONE, NONE, false}, U"1-1[\"a|b\"]"},
           {"escape outside and inside quotes", U"a\\,b,\"c\\\"d\"\ne\\\n",
            {U',', U'"', U'\\', false}, U"1-1[a,b|c\"d] 2-2[e\n]"},
           {"skipped blanks", U"a,  \"b\", c\n", {U',', U'"', NONE, true}, U"1-1[a|b|c]"},
           {"CR LF and lone CR", U"a;b\r\nc\rd;e", {U';', U'"', NONE, false},
            U"1-1[a|b] 2-2[c] 3-3[d|e]"},
           {"limit", U"1\n2\n3\n", comma, U"1-1[1] 2-2[2]", 2},
           {"blank lines are records of no fields", U"\n\r\n", comma, U"1-1[] 2-2[]"},
       }) {
    std::vector<std::u32string> lines = split_lines(c.text);
    std::vector<std::u32string_view> views(lines.begin(), lines.end());
    SampleRecords read;
    read_sample_records(views, c.dialect, c.limit, read);
    EXPECT_EQ(shown(read), c.expected) << c.name;
    EXPECT_FALSE(read.stopped) << c.name;
  }
}

TEST(SampleRecords, StopsWhereTheCsvModuleRaises) {
  // A line break with text after it on the same line: the csv module's "new-line character
  // seen in unquoted field"; the records before it stand.
  const std::vector<std::u32string_view> lines = {U"x\n", U"a\rb\n", U"c\n"};
  SampleRecords read;
  read_sample_records(lines, {U',', U'"', NONE, false}, SIZE_MAX, read);
  EXPECT_EQ(shown(read), U"1-1[x]");
  EXPECT_TRUE(read.stopped);
}

}  // namespace
}  // namespace quorle::engine
