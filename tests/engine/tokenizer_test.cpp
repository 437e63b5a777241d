// The tokenizer's rules, case by case, grouped by rule family.
#include "engine/tokenizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorle::engine {
namespace {

struct Expect {
  std::string input;
  std::vector<Row> records;
  std::vector<std::uint64_t> lines;  // `line` read after each record; empty: not checked
  std::uint8_t delimiter = ',';
  std::uint8_t quote = '\'';
  bool repair = true;
};

void expect_records(const Expect& e) {
  SCOPED_TRACE(testing::PrintToString(e.input));
  RecordTokenizer tokenizer(e.input, e.delimiter, e.quote, e.repair);
  std::vector<Row> got;
  std::vector<std::uint64_t> lines;
  while (auto row = tokenizer.next_record()) {
    got.push_back(*row);
    lines.push_back(tokenizer.line());
  }
  EXPECT_EQ(got, e.records);
  if (!e.lines.empty()) {
    EXPECT_EQ(lines, e.lines);
  }
  EXPECT_FALSE(tokenizer.next_record().has_value()) << "exhausted for good";

  // The counting pass sees the same records with the same field counts.
  RecordTokenizer counting(e.input, e.delimiter, e.quote, e.repair);
  FieldCounter counter(e.input);
  std::size_t i = 0;
  for (; counting.next(counter); ++i) {
    ASSERT_LT(i, e.records.size());
    EXPECT_EQ(counter.field_count(), e.records[i].size());
  }
  EXPECT_EQ(i, e.records.size());
}

const std::string FFFD = "\xEF\xBF\xBD";

TEST(RecordTokenizer, EmptyInputAndByteOrderMark) {
  for (const Expect& e : std::vector<Expect>{
           {"", {}},
           {"\xEF\xBB\xBF", {}},
           {"\xEF\xBB\xBF"
            "a,b",
            {{"a", "b"}},
            {1}},
           {"\xEF\xBB", {{FFFD}}},  // a truncated mark is ordinary (ill-formed) text
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, RecordsAndLineBreaks) {
  for (const Expect& e : std::vector<Expect>{
           {"a,b,c", {{"a", "b", "c"}}, {1}},
           {"a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}, {2, 3}},
           {"\n\n", {{""}, {""}}, {2, 3}},
           {"a,b,\n", {{"a", "b", ""}}, {2}},
           {"a,b,", {{"a", "b", ""}}, {1}},
           {",\n", {{"", ""}}, {2}},
           {"a\r\nb\rc\nd", {{"a"}, {"b"}, {"c"}, {"d"}}, {2, 3, 4, 4}},
           {"a\n\rb", {{"a"}, {""}, {"b"}}, {2, 3, 3}},
           {"\r\n\r\n", {{""}, {""}}, {2, 3}},
           {"\r\r", {{""}, {""}}, {2, 3}},
           {" a , b ", {{" a ", " b "}}, {1}},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, QuotedFields) {
  for (const Expect& e : std::vector<Expect>{
           {"'a''b',c\n", {{"a'b", "c"}}},
           {"'''a'''", {{"'a'"}}},
           {"'',x", {{"", "x"}}},
           {"ab'c,d", {{"ab'c", "d"}}},
           {" 'a',b", {{" 'a'", "b"}}},
           {"'a' ,b", {{"a", "b"}}},
           {"'a' b,c", {{"ab", "c"}}},
           {"'abc'def,g", {{"abcdef", "g"}}},
           {"'abc'def,g", {{"abcdef", "g"}}, {}, ',', '\'', false},
           {"'a'\t \n", {{"a"}}, {2}},
           {"'a''", {{"a'"}}},
           {"'a'''", {{"a'"}}},
           {"'a'x'y',z", {{"a'x'y", "z"}}},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, UnterminatedAndMultiLineQuotes) {
  for (const Expect& e : std::vector<Expect>{
           {"'abc", {{"abc"}}, {1}},
           {"'a\nb", {{"a\nb"}}, {2}},
           {"'a\nb',c\n", {{"a\nb", "c"}}, {3}},
           {"'a\rb',c\n", {{"a\rb", "c"}}, {2}},
           {"'a\r\nb',c\n", {{"a\r\nb", "c"}}, {3}},
           {"'a\n\nb'\nx", {{"a\n\nb"}, {"x"}}, {4, 4}},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, StrayQuoteRepair) {
  for (const Expect& e : std::vector<Expect>{
           {"'say 'hi' now',x\n", {{"say 'hi' now", "x"}}},
           {"'say 'hi' now',x\n", {{"say hi' now'", "x"}}, {}, ',', '\'', false},
           {"'abc'def,ghi'\n", {{"abc'def,ghi"}}},
           {"'abc'def,ghi'\n", {{"abcdef", "ghi'"}}, {}, ',', '\'', false},
           {"'He said 'hi\nthere',x\n", {{"He said hi"}, {"there'", "x"}}, {2, 3}},
           // The later quote must end a field after optional blanks.
           {"'a'b' \t,c", {{"a'b", "c"}}},
           {"'a'b' x,c", {{"ab' x", "c"}}},
           // The scan stops at a CR as at an LF.
           {"'a'b\r',c", {{"ab"}, {",c"}}},
           // A stray quote at the very end of a line keeps the field open to the next quote.
           {"'x'y'", {{"x'y"}}},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, BlankDelimitersEndQuotedFields) {
  for (const Expect& e : std::vector<Expect>{
           {"'ab'\t'cd'\n", {{"ab", "cd"}}, {}, '\t', '\'', true},
           {"'ab'\t'cd'\n", {{"ab", "cd"}}, {}, '\t', '\'', false},
           {"'ab' 'cd'\n", {{"ab", "cd"}}, {}, ' ', '\'', true},
           // A later quote followed by a tab delimiter ends a field, so this one is stray.
           {"'a'b'\tc\n", {{"a'b", "c"}}, {}, '\t', '\'', true},
           // Blanks that are not the delimiter are still skipped.
           {"'a' \tb\n", {{"a", "b"}}, {}, '\t', '\'', true},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, LossyUtf8) {
  for (const Expect& e : std::vector<Expect>{
           {"a\xFF"
            "b",
            {{"a" + FFFD + "b"}}},
           {"\xE0\x80", {{FFFD + FFFD}}},
           {"\xF0\x9F\x98,x", {{FFFD, "x"}}},
           {"'\xC3'\xA9", {{"\xC3\xA9"}}},  // pieces are joined before the text is decoded
           {"'\xC3''\xA9'", {{FFFD + "'" + FFFD}}},
           {"\xC3\xA9,\xE2\x82\xAC", {{"\xC3\xA9", "\xE2\x82\xAC"}}},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, HighDelimiterAndQuoteBytes) {
  for (const Expect& e : std::vector<Expect>{
           {"a\xA7"
            "b\n",
            {{"a", "b"}},
            {},
            0xA7,
            '"'},
           // A delimiter byte that splits a character leaves both halves ill-formed.
           {"\xC3\xA9\xC3x", {{"", FFFD, "x"}}, {}, 0xC3, '"'},
           {"\xA7x\xA7,y", {{"x", "y"}}, {}, ',', 0xA7},
       }) {
    expect_records(e);
  }
}

TEST(RecordTokenizer, ByteValuesThatCollide) {
  // Rules are tested in order, so a byte that is both quote and delimiter acts as a quote at the
  // start of a field and as a delimiter inside an unquoted one.
  expect_records({"a;b;;c", {{"a", "b", "c"}}, {}, ';', ';'});
  expect_records({"a;;b;;c", {{"a", "b;c"}}, {}, ';', ';'});
  expect_records({"a\n\"b\"\n", {{"a", "b", ""}}, {}, '\n', '"'});
}

TEST(RecordTokenizer, VerbatimRecords) {
  struct Case {
    std::string input;
    bool verbatim;
    std::uint8_t delimiter = ',';
  };
  for (const Case& c : std::vector<Case>{
           {"a,b,c\n", true},
           {"\n", true},
           {"a,,\r\n", true},
           {"\"a,b\",c", true},
           {"\"a\"\"b\"\n", true},
           {"\"x\ny\",z\n", true},
           {"\"x\ry\"\n", true},
           {"\"ab\",c\n", false},  // quoted although nothing needs quoting
           {"\"\",c\n", false},
           {"\"a,b\" ,c\n", false},
           {"\"a,b\"x,c\n", false},
           {"ab\"c\n", false},
           {"\"say \"hi\" now\",x\n", false},
           {"\"open,", false},
           {"a\xFF\n", false},
           {"\xC3\xA9,b\n", true},
           {"a\xA7"
            "b\n",
            false, 0xA7},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    RecordTokenizer tokenizer(c.input, c.delimiter, '"', true);
    FieldCollector collector(c.input);
    ASSERT_TRUE(tokenizer.next(collector));
    EXPECT_EQ(tokenizer.last_span().verbatim, c.verbatim);
  }
}

// The bulk scan works on 64-byte blocks: a quoted field that needs its quotes is recognised as
// such wherever the blocks cut it.
TEST(RecordTokenizer, VerbatimAtEveryAlignment) {
  for (const std::string record :
       {"12,abc,\"x,y\",4.5,,z\n", "a,\"q\"\"q\",b\n", "\"multi\nline\",x\n", "\"a,b\"\n"}) {
    for (std::size_t offset = 0; offset < 130; ++offset) {
      const std::string input = std::string(offset, 'p') + "\n" + record + "tail\n";
      RecordTokenizer tokenizer(input, ',', '"', true);
      FieldCollector collector(input);
      ASSERT_TRUE(tokenizer.next(collector));
      ASSERT_TRUE(tokenizer.next(collector));
      EXPECT_TRUE(tokenizer.last_span().verbatim) << testing::PrintToString(record) << offset;
    }
  }
}

// A field flagged plain is written without looking for bytes that need quoting, so the flag must
// never be set on a field that holds an ordinary quote.
TEST(RecordTokenizer, PlainFlagOnlyOnFieldsWithoutSpecialBytes) {
  for (const std::string input : {"a\"b,c\n", "x,a\",\n", "a\"\"b,c,d\n", " \"q\",z\n", "\"a\"b,c\n"}) {
    RecordTokenizer tokenizer(input, ',', '"', true);
    FieldCollector collector(input);
    ASSERT_TRUE(tokenizer.next(collector));
    for (const FieldText& f : collector.fields()) {
      const std::string_view text = collector.text(f);
      if (f.plain) {
        EXPECT_EQ(text.find_first_of(",\"\r\n"), std::string_view::npos)
            << testing::PrintToString(input) << " field " << testing::PrintToString(std::string(text));
      }
    }
  }
}

TEST(RecordTokenizer, SpanOfEachRecord) {
  const std::string input =
      "\xEF\xBB\xBF"
      "a,b\r\n\"c\nd\",e\nf";
  RecordTokenizer tokenizer(input, ',', '"', true);
  FieldCollector collector(input);
  struct Span {
    std::uint64_t begin, end;
    bool at_break;
  };
  std::vector<Span> expected = {{3, 6, true}, {8, 15, true}, {16, 17, false}};
  for (const Span& s : expected) {
    ASSERT_TRUE(tokenizer.next(collector));
    EXPECT_EQ(tokenizer.last_span().begin, s.begin);
    EXPECT_EQ(tokenizer.last_span().end, s.end);
    EXPECT_EQ(tokenizer.last_span().ended_with_break, s.at_break);
  }
  EXPECT_FALSE(tokenizer.next(collector));
}

TEST(FieldCounter, WhiteSpaceOnlyFirstField) {
  struct Case {
    std::string input;
    bool blank;
  };
  for (const Case& c : std::vector<Case>{
           {"\n", true},
           {" \t\x0B\x0C\n", true},
           {"\xC2\xA0\xE2\x80\xA8\xE3\x80\x80\n", true},  // U+00A0, U+2028, U+3000
           {"\xC2\x85\xE1\x9A\x80\xE2\x80\x8A\xE2\x81\x9F", true},
           {"\xEF\xBF\xBD\n", false},  // U+FFFD
           {"\xC2\n", false},          // ill-formed: decodes to U+FFFD
           {"\xE2\x80\x8B\n", false},  // U+200B is not White_Space
           {"\" \"\n", true},
           {"\"\xE2\x80\" \xA8\n", true},  // the character is whole only after the quote
           {"\"\"\"\"\n", false},
           {" x \n", false},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    RecordTokenizer tokenizer(c.input, ',', '"', true);
    FieldCounter counter(c.input);
    ASSERT_TRUE(tokenizer.next(counter));
    EXPECT_EQ(counter.field_count(), 1u);
    EXPECT_EQ(counter.first_field_blank(), c.blank);
  }
}

}  // namespace
}  // namespace quorle::engine
