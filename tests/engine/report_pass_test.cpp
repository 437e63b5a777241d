// The package's pass: the extra tokenizer rules against the reference, then the sorting with
// lines, repairs, header, blank records and quarantine spans.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/tokenizer.hpp"
#include "engine/report_pass.hpp"
#include "reference_tokenizer.hpp"

namespace quorle::engine {
namespace {

using testing::ReferenceTokenizer;

std::vector<std::string> as_texts(const FieldCollector& record) {
  std::vector<std::string> texts;
  for (const FieldText& f : record.fields())
    texts.emplace_back(record.text(f));
  return texts;
}

// Records, lines and re-read counts of both tokenizers, with the extras on.
void expect_same_as_reference(const std::string& input, std::uint8_t delimiter, int escape,
                              bool repair, bool skip_space = false, bool lone_cr_lines = false) {
  RecordTokenizer fast(input, delimiter, '"', repair);
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  extras.escape = escape;
  extras.skip_initial_space = skip_space;
  extras.quoted_cr_ends_line = lone_cr_lines;
  fast.set_extras(extras);
  ReferenceTokenizer slow(input, delimiter, '"', repair);
  slow.set_extras(true, escape, skip_space, lone_cr_lines);
  FieldCollector record(input);
  for (std::size_t i = 0;; ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const auto expected = slow.next_record();
    ASSERT_EQ(fast.next(record), expected.has_value());
    if (!expected) return;
    ASSERT_EQ(as_texts(record), *expected);
    if (fast.last_span().verbatim) {  // the writer copies such a record: it must split back
      std::vector<std::string_view> fields;
      std::string unescaped;
      const RecordSpan& span = fast.last_span();
      split_verbatim(std::string_view(input).substr(span.begin, span.end - span.begin), delimiter,
                     '"', fields, unescaped);
      ASSERT_EQ(std::vector<std::string>(fields.begin(), fields.end()), *expected);
    }
    ASSERT_EQ(fast.line(), slow.line());
    ASSERT_EQ(fast.last_span().rereads, slow.rereads());
  }
}

TEST(ReportPassTokenizer, MatchesReferenceOnRandomBuffers) {
  std::mt19937_64 rng(20261207);
  auto below = [&](std::uint64_t n) { return rng() % n; };
  static constexpr char pieces[] = {',', '"', '"', '"', '\\', '\n', '\r', ' ', 'a', 'b', ';'};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const std::size_t length = below(below(8) == 0 ? 400 : 40);
    while (s.size() < length) {
      if (below(12) == 0) {
        s.append(below(90), 'x');
      } else {
        s += pieces[below(std::size(pieces))];
      }
    }
    const int escape = below(3) == 0 ? '\\' : -1;
    SCOPED_TRACE("input: " + s);
    const std::uint8_t delimiter = below(4) == 0 ? ';' : below(3) == 0 ? ' ' : ',';
    expect_same_as_reference(s, delimiter, escape, below(4) != 0, below(3) == 0, below(2) == 0);
    if (HasFatalFailure()) return;
  }
}

TEST(ReportPassTokenizer, Cases) {
  struct Case {
    const char* input;
    int escape;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a,\"b\nc,d\ne,f\n", -1},             // unterminated early: the rest comes back
           {"\"\"\"x\n\"y\n", -1},                // a run of quotes at the opening
           {"\"abc\"x\"\"\n\"abc\"x\"\"\n", -1},  // every opening runs to the end
           {"\"a\\\"b\",c\n", '\\'},              // escaped quote
           {"\"a\\\\\",c\n", '\\'},               // escaped escape, then the closing quote
           {"\"C:\\tmp\\a, b\"\n", '\\'},            // escapes before no quote
           {"x,\"a\\,b\"\n", '\\'},
           {"\"a\\", '\\'},                       // escape as the last byte
       }) {
    SCOPED_TRACE(c.input);
    expect_same_as_reference(c.input, ',', c.escape, true);
  }
}

TEST(ReportPassTokenizer, SkippedInitialSpace) {
  expect_same_as_reference("a, b,  \"c\" ,\n  d, ,\n", ',', -1, true, true);
  expect_same_as_reference("  t   x  y  \n 1 2\n   \n3  4 ", ' ', -1, true, true);
  RecordTokenizer aligned("   time  temp \n    0.5  21.7\n", ' ', '"', true);
  TokenizerExtras extras;
  extras.skip_initial_space = true;
  aligned.set_extras(extras);
  EXPECT_EQ(aligned.next_record(), (Row{"time", "temp"}));
  EXPECT_EQ(aligned.next_record(), (Row{"0.5", "21.7"}));
  RecordTokenizer comma("a, b,  c\n", ',', '"', true);
  comma.set_extras(extras);
  EXPECT_EQ(comma.next_record(), (Row{"a", "b", "c"}));
}

// Each opening of this input runs to the end; scanning it again per record would take hours.
TEST(ReportPassTokenizer, RereadStaysLinear) {
  std::string input;
  for (int i = 0; i < 200000; ++i)
    input += "\"abc\"x\"\",1\n";
  RecordTokenizer tokenizer(input, ',', '"', true);
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  tokenizer.set_extras(extras);
  FieldCollector record(input);
  std::uint64_t records = 0, rereads = 0;
  while (tokenizer.next(record)) {
    ++records;
    rereads += tokenizer.last_span().rereads;
  }
  EXPECT_EQ(records, 200000u);
  EXPECT_EQ(rereads, 200000u);
}

// The package's quote rules, one table: the records, the line after each, and what the rules
// did, both as written here and as the reference reads them.
TEST(ReportPassTokenizer, QuoteRuleCases) {
  struct Case {
    const char* input;
    std::uint8_t delimiter;
    std::uint64_t width;
    std::vector<Row> records;
    std::vector<std::uint64_t> next_lines;  // line() after each record
    std::uint32_t literal;                  // fields whose quotes were kept as text
    std::vector<std::uint64_t> stray_lines;  // per record
  };
  const std::vector<Case> cases = {
      // text after a closing quote: every byte kept, from the opening quote to the delimiter
      {"\"ANTON\" GmbH,Berlin\n", ',', 0, {{"\"ANTON\" GmbH", "Berlin"}}, {2}, 1, {0}},
      {"\"x\"\"y\" z,1\n", ',', 0, {{"\"x\"\"y\" z", "1"}}, {2}, 1, {0}},
      // the quoted section stays whole: a delimiter or line break in it splits nothing
      {"\"a,b\" c,d\n", ',', 0, {{"\"a,b\" c", "d"}}, {2}, 1, {0}},
      {"\"a\nb\" c\"d,1\n2\n", ',', 0, {{"\"a\nb\" c\"d", "1"}, {"2"}}, {3, 4}, 1, {0, 0}},
      // blanks then the delimiter or the line end after a close are padding, dropped as before
      {"\"abc\"  ,x\n\"d\" \n", ',', 0, {{"abc", "x"}, {"d"}}, {2, 3}, 0, {0, 0}},
      // a quote that opens no field is text already
      {"5\" disk,x\n", ',', 0, {{"5\" disk", "x"}}, {2}, 0, {0}},
      // a lone CR inside quotes ends a line as CR LF and LF do
      {"a,b\r1,\"x\ry\"\r4\r", ',', 0, {{"a", "b"}, {"1", "x\ry"}, {"4"}}, {2, 4, 5}, 0, {0, 0, 0}},
      {"1,\"x\r\ny\nz\"\r\n4\r\n", ',', 0, {{"1", "x\r\ny\nz"}, {"4"}}, {4, 5}, 0, {0, 0}},
      // a stray opening quote: quoted, line 1 takes line 2 and has 2 fields; as text, 3
      {"1\t\"x\t1983\n2\ty\"\n3\tz\t1985\n", '\t', 3,
       {{"1", "\"x", "1983"}, {"2", "y\""}, {"3", "z", "1985"}}, {2, 3, 4}, 0, {2, 0, 0}},
      // the same without a width, or when the text reading does not fit it: kept quoted
      {"1\t\"x\t1983\n2\ty\"\n", '\t', 0, {{"1", "x\t1983\n2\ty"}}, {3}, 0, {0}},
      {"1\t\"x\n2\ty\"\n", '\t', 3, {{"1", "x\n2\ty"}}, {3}, 0, {0}},
      // quotes kept as text over lines: the width rule judges that opening quote all the same
      {"1\t\"x\t1983\n2\ty\" z\n", '\t', 0, {{"1", "\"x\t1983\n2\ty\" z"}}, {3}, 1, {0}},
      {"1\t\"x\t1983\n2\ty\" z\n", '\t', 3, {{"1", "\"x", "1983"}, {"2", "y\" z"}}, {2, 3}, 0,
       {2, 0}},
  };
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  extras.literal_quotes = true;
  extras.quoted_cr_ends_line = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.input)));
    RecordTokenizer fast(c.input, c.delimiter, '"', true);
    fast.set_extras(extras);
    fast.set_width(c.width);
    ReferenceTokenizer slow(c.input, c.delimiter, '"', true);
    slow.set_extras(true, -1);
    slow.set_quote_rules(true, true);
    slow.set_width(c.width);
    FieldCollector record(c.input);
    std::uint32_t literal = 0;
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      ASSERT_TRUE(fast.next(record));
      EXPECT_EQ(as_texts(record), c.records[i]);
      EXPECT_EQ(fast.line(), c.next_lines[i]);
      EXPECT_EQ(fast.last_span().stray_quote_lines, c.stray_lines[i]);
      literal += fast.last_span().literal_quotes;
      EXPECT_EQ(slow.next_record(), c.records[i]);
      EXPECT_EQ(slow.line(), c.next_lines[i]);
    }
    EXPECT_FALSE(fast.next(record));
    EXPECT_EQ(literal, c.literal);
  }
}

// Quotes open fields on every line, each closing on the next line with text after it, or all
// only at the very end, and every record read again by the width rule: each stretch is scanned a
// bounded number of times, not once for every quote in it.
TEST(ReportPassTokenizer, QuoteRulesStayLinear) {
  std::string input;
  for (int i = 0; i < 100000; ++i)
    input += "\"x,1,2\n\"y\" z\n";  // "x,1,2 alone, then "y" z kept as text
  for (int i = 0; i < 100000; ++i)
    input += "\"a\"\",1,2\n";  // each quote opens a field that runs to the last line
  input += "z\" q\n";
  RecordTokenizer tokenizer(input, ',', '"', true);
  TokenizerExtras extras;
  extras.reread_unterminated = true;
  extras.literal_quotes = true;
  extras.quoted_cr_ends_line = true;
  tokenizer.set_extras(extras);
  tokenizer.set_width(3);
  FieldCounter record(input);
  std::uint64_t records = 0, stray = 0, literal = 0;
  while (tokenizer.next(record)) {
    ++records;
    stray += tokenizer.last_span().stray_quote_lines != 0;
    literal += tokenizer.last_span().literal_quotes;
  }
  EXPECT_EQ(records, 300001u);  // every line its own record
  EXPECT_EQ(stray, 200000u);
  EXPECT_EQ(literal, 100000u);
  EXPECT_EQ(tokenizer.line(), 300002u);
}

struct Passed {
  std::vector<std::vector<std::string>> rows;
  ReportPassOutcome out;
};

Passed run(const std::string& input, ReportPassOptions options = {}) {
  Passed t;
  EXPECT_TRUE(report_pass(input, options, t.out));
  StoredRow row;
  for (auto cursor = t.out.rows.cursor(); cursor.next(row, true);) {
    std::vector<std::string> fields(row.fields.begin(), row.fields.end());
    fields.resize(row.field_count());
    t.rows.push_back(fields);
  }
  return t;
}

using Rows = std::vector<std::vector<std::string>>;

TEST(ReportPass, HeaderSetsTheCountAndShortRowsArePadded) {
  std::string input = "a,b,c\n";
  for (int i = 0; i < 150; ++i)
    input += i == 75 ? "1,2,3\n1\n" : "1\n";
  const Passed t = run(input);
  EXPECT_EQ(t.out.columns, 3u);
  EXPECT_EQ(t.out.header, (Row{"a", "b", "c"}));
  EXPECT_EQ(t.rows[1], (Row{"1", "", ""}));
  EXPECT_EQ(t.out.total_rows, 151u);
  EXPECT_EQ(t.out.repaired_rows, 150u);
  // Adjacent rows with the same repair are one entry; the good row on line 77 splits them.
  ASSERT_EQ(t.out.repairs.size(), 2u);
  EXPECT_EQ(t.out.repairs[0].kind, RepairKind::Padded);
  EXPECT_EQ(t.out.repairs[0].count, 2u);
  EXPECT_EQ(t.out.repairs[0].first_line, 2u);
  EXPECT_EQ(t.out.repairs[0].last_line, 76u);
  EXPECT_EQ(t.out.repairs[1].first_line, 78u);
  EXPECT_EQ(t.out.repairs[1].last_line, 152u);
}

TEST(ReportPass, TrailingDelimitersAreTrimmedNotMerged) {
  const Passed t = run("a,b\n1,2,\n\"x\",3,,\n4,5,6\n");
  EXPECT_EQ(t.rows, (Rows{{"a", "b"}, {"1", "2"}, {"x", "3"}, {"4", "5,6"}}));
  ASSERT_EQ(t.out.repairs.size(), 3u);
  EXPECT_EQ(t.out.repairs[0].kind, RepairKind::Trimmed);
  EXPECT_EQ(t.out.repairs[1].count, 2u);
  EXPECT_EQ(t.out.repairs[2].kind, RepairKind::Merged);
  EXPECT_EQ(t.out.repairs[2].first_line, 4u);
}

TEST(ReportPass, BlankRecordsAreCountedNotKept) {
  const Passed t = run("\n  \na,b\n1,2\n\n\r\n");
  EXPECT_EQ(t.rows, (Rows{{"a", "b"}, {"1", "2"}}));
  EXPECT_EQ(t.out.blank_lines, 4u);
  EXPECT_EQ(t.out.total_rows, 1u);
  ReportPassOptions keep;
  keep.skip_blank_lines = false;
  const Passed k = run("a,b\n\n1,2\n", keep);
  EXPECT_EQ(k.rows, (Rows{{"a", "b"}, {"", ""}, {"1", "2"}}));
}

TEST(ReportPass, QuarantineKeepsLinesAndSourceSpan) {
  ReportPassOptions options;
  options.fill_ragged_rows = false;
  const std::string input = "a,b,c\n\"x\ny\",2\n1,2,3\n";
  const Passed t = run(input, options);
  ASSERT_EQ(t.out.quarantine.size(), 1u);
  const QuarantinedRecord& q = t.out.quarantine[0];
  EXPECT_EQ(q.first_line, 2u);
  EXPECT_EQ(q.last_line, 3u);
  EXPECT_EQ(input.substr(q.begin, q.end - q.begin), "\"x\ny\",2");
  EXPECT_EQ(q.reason, QuarantineReason::TooFewColumns);
}

TEST(ReportPass, HeaderIsNeverQuarantined) {
  ReportPassOptions options;
  options.expected_columns = 2;
  options.fill_ragged_rows = false;
  options.merge_overflow = false;
  const Passed t = run("a,b,c\n1,2\n", options);
  EXPECT_EQ(t.rows, (Rows{{"a", "b,c"}, {"1", "2"}}));
  EXPECT_TRUE(t.out.quarantine.empty());
}

TEST(ReportPass, NoHeaderInfersTheCount) {
  ReportPassOptions options;
  options.header = false;
  const Passed t = run("1,2\n3,4\n5\n", options);
  EXPECT_FALSE(t.out.has_header);
  EXPECT_EQ(t.out.columns, 2u);
  EXPECT_EQ(t.out.total_rows, 3u);
}

TEST(ReportPass, NoHeaderAndNothingSampledTakesTheFirstRowsWidth) {
  // The sample sees one blank field (the quote never closes over tabs); read again, the record
  // has three, and every row gets a count.
  ReportPassOptions options;
  options.header = false;
  options.delimiter = '\t';
  const Passed t = run("\"\t\t\n\t\n", options);
  EXPECT_EQ(t.out.columns, 3u);
  EXPECT_EQ(t.rows, (Rows{{"\"", "", ""}, {"", "", ""}}));
  EXPECT_EQ(run("\n\n", options).out.columns, 0u);  // no row: no count
}

TEST(ReportPass, UnterminatedQuoteIsReadAgainAndListed) {
  std::string input = "id,note\n1,\"open\n";
  for (int i = 2; i <= 10000; ++i)
    input += std::to_string(i) + ",ok\n";
  const Passed t = run(input);
  EXPECT_EQ(t.out.total_rows, 10000u);
  EXPECT_EQ(t.rows[1], (Row{"1", "\"open"}));
  ASSERT_EQ(t.out.repairs.size(), 1u);
  EXPECT_EQ(t.out.repairs[0].kind, RepairKind::Reread);
  EXPECT_EQ(t.out.repairs[0].first_line, 2u);
  EXPECT_EQ(t.out.rereads.lines, (std::vector<std::uint64_t>{2}));
}

TEST(ReportPass, QuotesReadAsTextAreListedWithTheirLines) {
  const Passed t = run("name,city\n\"ANTON\" GmbH,Berlin\n\"B\" x,Paris\nC,D\n\"E\"y,Rome\n");
  EXPECT_EQ(t.rows, (Rows{{"name", "city"},
                          {"\"ANTON\" GmbH", "Berlin"},
                          {"\"B\" x", "Paris"},
                          {"C", "D"},
                          {"\"E\"y", "Rome"}}));
  ASSERT_EQ(t.out.repairs.size(), 2u);  // adjacent lines are one entry
  EXPECT_EQ(t.out.repairs[0].kind, RepairKind::LiteralQuotes);
  EXPECT_EQ(t.out.repairs[0].first_line, 2u);
  EXPECT_EQ(t.out.repairs[0].last_line, 3u);
  EXPECT_EQ(t.out.repairs[1].first_line, 5u);
  EXPECT_EQ(t.out.repaired_rows, 3u);
  EXPECT_EQ(t.out.literal_quotes.count, 3u);
  EXPECT_EQ(t.out.literal_quotes.lines, (std::vector<std::uint64_t>{2, 3, 5}));
}

// A stray quote in the header of a TSV: read as a quote it takes the next lines into a header
// one field wider than the width detect found; read as text the header keeps its line.
TEST(ReportPass, StrayQuoteInTheHeaderIsJudgedByTheWidthHint) {
  const std::string input = "id\ttitle\t\"year\n1\tA\t1983\n2\tB\"\t1984\n3\tC\t1985\n";
  ReportPassOptions options;
  options.delimiter = '\t';
  options.width_hint = 3;
  const Passed t = run(input, options);
  EXPECT_EQ(t.out.header, (Row{"id", "title", "\"year"}));
  EXPECT_EQ(t.out.good_rows, 3u);
  ASSERT_EQ(t.out.repairs.size(), 1u);
  EXPECT_EQ(t.out.repairs[0].kind, RepairKind::StrayQuote);
  EXPECT_EQ(t.out.repairs[0].first_line, 1u);
  EXPECT_EQ(t.out.repairs[0].last_line, 1u);
  EXPECT_EQ(t.out.repairs[0].count, 3u);  // the lines the quoted reading ran over
  EXPECT_EQ(t.out.stray_quotes.lines, (std::vector<std::uint64_t>{1}));
  options.width_hint = 0;  // without it the header is what the quotes say
  EXPECT_EQ(run(input, options).out.columns, 4u);
}

TEST(ReportPass, LoneCrInsideQuotesEndsALine) {
  const Passed t = run("a,b\r1,\"x\ry\"\r4\r");
  EXPECT_EQ(t.rows, (Rows{{"a", "b"}, {"1", "x\ry"}, {"4", ""}}));
  ASSERT_EQ(t.out.repairs.size(), 1u);
  EXPECT_EQ(t.out.repairs[0].first_line, 4u);
  EXPECT_EQ(t.out.end_line, 5u);
}

TEST(ReportPass, LongQuotedFieldIsNoted) {
  std::string input = "a,b\n1,\"" + std::string(101, '\n') + "\"\n2,\"x\ny\"\n";
  const Passed t = run(input);
  EXPECT_EQ(t.out.long_quotes.count, 1u);
  EXPECT_EQ(t.out.long_quotes.lines, (std::vector<std::uint64_t>{2}));
}

TEST(ReportPass, ReplacedBytesAreCountedWithLines) {
  const Passed t = run("a,b\n1,x\xFF\xFEy\n2,\"p\nq\xC3\"\n");
  EXPECT_EQ(t.out.replaced.count, 3u);
  EXPECT_EQ(t.out.replaced.lines, (std::vector<std::uint64_t>{2, 4}));
}

TEST(ReportPass, StrayBytesReadAsWindows1252) {
  ReportPassOptions options;
  options.recode_cp1252 = true;
  // é, €, an undefined byte (a C1 control), and a cut sequence whose bytes each stand alone.
  const Passed t = run("a,b\ncaf\xE9,\x80\x81\n\xC3\xA9,\xE2\x82\n", options);
  EXPECT_EQ(t.rows[1], (Row{"caf\xC3\xA9", "\xE2\x82\xAC\xC2\x81"}));
  EXPECT_EQ(t.rows[2], (Row{"\xC3\xA9", "\xC3\xA2\xE2\x80\x9A"}));
  EXPECT_EQ(t.out.recoded.count, 5u);
  EXPECT_EQ(t.out.recoded.lines, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(t.out.replaced.count, 0u);
}

TEST(ReportPass, EscapedDump) {
  ReportPassOptions options;
  options.escape = '\\';
  const Passed t = run("id,text\n1,\"say \\\"hi\\\", ok\"\n2,\"back\\\\\"\n", options);
  EXPECT_EQ(t.rows, (Rows{{"id", "text"}, {"1", "say \"hi\", ok"}, {"2", "back\\"}}));
}

TEST(ReportPass, ProgressCanStopThePass) {
  const std::string input(1000, '\n');
  ReportPassOutcome out;
  EXPECT_FALSE(report_pass(
      input, {}, out, [](std::uint64_t) { return false; }, 100));
}

TEST(ReportPass, PartOfAFileKeepsItsLineNumbersAndAMultiLineHeader) {
  ReportPassOptions options;
  options.first_line = 5;
  options.header_rows = 2;
  const Passed t = run("\ntime,temp\ns,C\n1\n2,3,4\n", options);
  EXPECT_EQ(t.out.header, (Row{"time", "temp"}));
  EXPECT_EQ(t.out.header_first_line, 6u);
  EXPECT_EQ(t.out.header_last_line, 7u);
  EXPECT_EQ(t.rows, (Rows{{"time", "temp"}, {"1", ""}, {"2", "3,4"}}));
  ASSERT_EQ(t.out.repairs.size(), 2u);
  EXPECT_EQ(t.out.repairs[0].first_line, 8u);
  EXPECT_EQ(t.out.repairs[1].first_line, 9u);
  EXPECT_EQ(t.out.total_rows, 2u);
  EXPECT_EQ(t.out.end_line, 10u);
}

struct Skip {
  std::uint64_t first_line, last_line;
  SkipKind kind;
  bool operator==(const Skip&) const = default;
};

ReportPassOptions with(std::initializer_list<std::function<void(ReportPassOptions&)>> changes) {
  ReportPassOptions o;
  for (const auto& change : changes)
    change(o);
  return o;
}

const auto COMMENT = [](ReportPassOptions& o) { o.comment = '#'; };
const auto REPEATS = [](ReportPassOptions& o) { o.skip_repeated_header = true; };
const auto NO_HEADER = [](ReportPassOptions& o) { o.header = false; };
const auto ONE_COLUMN = [](ReportPassOptions& o) { o.expected_columns = 1; };
const auto TWO_HEADER_ROWS = [](ReportPassOptions& o) { o.header_rows = 2; };

// The rows stored and the lines skipped, with the skipped bytes of each run's first record.
void expect_sorted(const std::string& input, const ReportPassOptions& options, const Rows& rows,
                   const std::vector<Skip>& skipped, const std::vector<std::string>& texts = {}) {
  SCOPED_TRACE(input);
  const Passed t = run(input, options);
  EXPECT_EQ(t.rows, rows);
  std::vector<Skip> got;
  std::vector<std::string> got_texts;
  for (const SkippedRun& r : t.out.skipped) {
    got.push_back({r.first_line, r.last_line, r.kind});
    got_texts.push_back(input.substr(r.begin, r.end - r.begin));
  }
  EXPECT_EQ(got, skipped);
  if (!texts.empty()) {
    EXPECT_EQ(got_texts, texts);
  }
}

constexpr SkipKind C = SkipKind::Comment;
constexpr SkipKind H = SkipKind::HeaderLine;
constexpr SkipKind R = SkipKind::RepeatedHeader;

TEST(ReportPass, CommentLinesAreSkippedWhereverTheyStand) {
  const ReportPassOptions o = with({COMMENT});
  expect_sorted("#top\na,b\n#x\n#y\n1,2\n#end", o, {{"a", "b"}, {"1", "2"}},
                {{1, 1, C}, {3, 4, C}, {6, 6, C}}, {"#top", "#x", "#end"});
  // Its quotes open nothing; a # inside a quoted field or after the line's start is text.
  expect_sorted("a,b\n#,\"open\n1,\"x\n#y\"\n2,#3\n", o,
                {{"a", "b"}, {"1", "x\n#y"}, {"2", "#3"}}, {{2, 2, C}});
  expect_sorted("#cr\ra,b\r\n#\r1,2", o, {{"a", "b"}, {"1", "2"}}, {{1, 1, C}, {3, 3, C}});
  expect_sorted("a,b\n#x\n", with({}), {{"a", "b"}, {"#x", ""}}, {});
  // Without a header the count comes from the records that are no comment.
  std::string many = "1,2\n";
  for (int i = 0; i < 150; ++i)
    many += "# one field\n";
  const Passed t = run(many + "3,4\n", with({COMMENT, NO_HEADER}));
  EXPECT_EQ(t.out.columns, 2u);
  EXPECT_EQ(t.rows, (Rows{{"1", "2"}, {"3", "4"}}));
}

TEST(ReportPass, RepeatedHeaderIsSkipped) {
  const ReportPassOptions o = with({REPEATS});
  expect_sorted("a,b\n1,2\n\"a\",\"b\"\na,b\n\na,b\n3,4\n", o, {{"a", "b"}, {"1", "2"}, {"3", "4"}},
                {{3, 4, R}, {6, 6, R}}, {"\"a\",\"b\"", "a,b"});
  // Only the same fields: one more, one less, or another text stay rows.
  expect_sorted("a,b\na,b,\na\na,B\n", o, {{"a", "b"}, {"a", "b"}, {"a", ""}, {"a", "B"}}, {});
  // A header of one name: a value may read as it.
  expect_sorted("a\n1\na\n", o, {{"a"}, {"1"}, {"a"}}, {});
  expect_sorted("a,\n1,2\na,\n", o, {{"a", ""}, {"1", "2"}, {"a", ""}}, {});
  expect_sorted("a,b\na,b\n", with({}), {{"a", "b"}, {"a", "b"}}, {});
  // A header of two records: both repeated go, the second alone stays a row.
  expect_sorted("a,b\nx,y\n1,2\na,b\nx,y\nx,y\n", with({REPEATS, TWO_HEADER_ROWS}),
                {{"a", "b"}, {"1", "2"}, {"x", "y"}}, {{2, 2, H}, {4, 5, R}});
  // Comments and blank lines between the header's records are theirs, not the header's.
  expect_sorted("a,b\n\n#n\nx,y\n1,2\n", with({COMMENT, TWO_HEADER_ROWS}),
                {{"a", "b"}, {"1", "2"}}, {{3, 3, C}, {4, 4, H}});
}

TEST(ReportPass, HeaderNamesJoinedByTheCallerAreFitted) {
  auto named = [](Row names, std::optional<std::uint64_t> columns = {}) {
    ReportPassOptions o;
    o.header_rows = 2;
    o.header_names = std::move(names);
    o.expected_columns = columns;
    return o;
  };
  const std::string input = "unit price,qty\nEUR,\n1,2\n";
  const Passed t = run(input, named({"unit price EUR", "qty"}));
  EXPECT_EQ(t.rows, (Rows{{"unit price EUR", "qty"}, {"1", "2"}}));
  EXPECT_EQ(t.out.header, (Row{"unit price EUR", "qty"}));
  EXPECT_EQ(t.out.names_last_line, 1u);
  EXPECT_EQ(t.out.header_last_line, 2u);
  EXPECT_EQ(run(input, named({"p"})).out.header, (Row{"p", ""}));
  EXPECT_EQ(run(input, named({"p", "q", "r"})).out.header, (Row{"p", "q,r"}));
  EXPECT_EQ(run(input, named({"p", "q", ""})).out.header, (Row{"p", "q"}));
  EXPECT_EQ(run(input, named({"p", "q"}, 3)).out.header, (Row{"p", "q", ""}));
}

TEST(ReportPass, OneColumnKeepsLinesOfSpacesAsValues) {
  expect_sorted("name\n \n\n\t\nx\n", with({ONE_COLUMN}), {{"name"}, {" "}, {"\t"}, {"x"}}, {});
  expect_sorted("name\n \n\nx\n", with({}), {{"name"}, {" "}, {"x"}}, {});
  expect_sorted(" \n1\n  \n", with({NO_HEADER}), {{" "}, {"1"}, {"  "}}, {});
  expect_sorted(" \nname\n", with({ONE_COLUMN}), {{"name"}}, {});  // before the header: blank
  expect_sorted("a,b\n \n1,2\n", with({}), {{"a", "b"}, {"1", "2"}}, {});
  EXPECT_EQ(run("name\n \n\n", with({})).out.blank_lines, 1u);
}

// The file's byte-order mark is gone before its text gets to the pass: a U+FEFF left is text.
TEST(ReportPass, LeadingMarkIsText) {
  expect_sorted("\xEF\xBB\xBF" "a,b\n\xEF\xBB\xBF,1\n", with({}),
                {{"\xEF\xBB\xBF" "a", "b"}, {"\xEF\xBB\xBF", "1"}}, {});
}

// Line numbers are the file's physical lines: a lone CR inside quotes ends one too.
TEST(ReportPass, LoneCarriageReturnInQuotesEndsALine) {
  ReportPassOptions o = with({});
  o.fill_ragged_rows = false;
  o.trace_rows = true;
  const Passed t = run("a,b\r\"x\ry\",\"\r\n\"\r1\r2,3", o);
  ASSERT_EQ(t.out.row_lines.size(), 2u);
  EXPECT_EQ(t.out.row_lines[0].first_line, 2u);
  EXPECT_EQ(t.out.row_lines[0].last_line, 4u);
  EXPECT_EQ(t.out.quarantine.at(0).first_line, 5u);
  EXPECT_EQ(t.out.row_lines[1].first_line, 6u);
}

TEST(ReportPass, StoredRowsHaveTheirLines) {
  ReportPassOptions o = with({COMMENT});
  o.trace_rows = true;
  o.fill_ragged_rows = false;
  const Passed t = run("a,b\n1,\"x\ny\"\n\n#c\n2\n3,4", o);
  ASSERT_EQ(t.out.row_lines.size(), 2u);
  EXPECT_EQ(t.out.row_lines[0].first_line, 2u);
  EXPECT_EQ(t.out.row_lines[0].last_line, 3u);
  EXPECT_EQ(t.out.row_lines[1].first_line, 7u);  // line 6 was quarantined
  EXPECT_EQ(t.out.quarantine.at(0).first_line, 6u);
}

}  // namespace
}  // namespace quorle::engine
