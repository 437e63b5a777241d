#include "engine/pipeline.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorle::engine {
namespace {

RepairOptions with_columns(std::uint64_t columns) {
  RepairOptions o;
  o.expected_columns = columns;
  return o;
}

void expect_counters(const BufferOutcome& out, std::uint64_t total, std::uint64_t good,
                     std::uint64_t repaired, std::uint64_t quarantined) {
  EXPECT_EQ(out.total_rows, total);
  EXPECT_EQ(out.quorled_rows, good);
  EXPECT_EQ(out.repaired_rows, repaired);
  EXPECT_EQ(out.quarantined_rows, quarantined);
  EXPECT_EQ(out.rows.size(), good);
  EXPECT_EQ(out.quarantine_marks.size(), quarantined);
}

TEST(ProcessBuffer, EmptyBufferIgnoresTheOptions) {
  RepairOptions o = with_columns(5);
  o.delimiter = ';';
  const BufferOutcome out = process_buffer("", o);
  expect_counters(out, 0, 0, 0, 0);
  EXPECT_EQ(out.inferred_columns, 0u);
  EXPECT_EQ(out.delimiter, U',');
}

TEST(ProcessBuffer, ByteOrderMarkOnlyIsNotEmpty) {
  RepairOptions o = with_columns(4);
  o.delimiter = ';';
  BufferOutcome out = process_buffer("\xEF\xBB\xBF", o);
  expect_counters(out, 0, 0, 0, 0);
  EXPECT_EQ(out.inferred_columns, 4u);
  EXPECT_EQ(out.delimiter, U';');
  out = process_buffer("\xEF\xBB\xBF", RepairOptions{});
  EXPECT_EQ(out.inferred_columns, 0u);
}

TEST(ProcessBuffer, SettlesDelimiterAndColumns) {
  const BufferOutcome out = process_buffer("a;b;c\n1;2;3\n", RepairOptions{});
  EXPECT_EQ(out.delimiter, U';');
  EXPECT_EQ(out.inferred_columns, 3u);
  EXPECT_EQ(out.good_rows(), (std::vector<Row>{{"a", "b", "c"}, {"1", "2", "3"}}));
  expect_counters(out, 2, 2, 0, 0);
}

TEST(ProcessBuffer, RepairsOrQuarantines) {
  struct Case {
    std::string name, input;
    RepairOptions options;
    std::vector<Row> good;
    std::vector<QuarantineEntry> quarantined;
    std::uint64_t repaired;
  };
  RepairOptions no_fill = with_columns(3), no_merge = with_columns(3), neither = with_columns(3);
  no_fill.fill_ragged_rows = false;
  no_merge.merge_overflow = false;
  neither.fill_ragged_rows = neither.merge_overflow = false;
  RepairOptions high = with_columns(2);
  high.delimiter = 0xA7;
  for (const Case& c : std::vector<Case>{
           {"no count enforced", "a\nb,c,d\n", with_columns(0), {{"a"}, {"b", "c", "d"}}, {}, 0},
           {"pad", "a,b\n", with_columns(3), {{"a", "b", ""}}, {}, 1},
           {"pad a quoted record", "\"a\",b\n", with_columns(3), {{"a", "b", ""}}, {}, 1},
           {"too few",
            "a,b\n",
            no_fill,
            {},
            {{{"a", "b"}, "Row has too few columns (expected 3)", 1}},
            0},
           {"merge", "a,b,c,d,e\n", with_columns(3), {{"a", "b", "c,d,e"}}, {}, 1},
           {"merge quoted fields",
            "a,b,\"c,d\",\"e\"\"\"\n",
            with_columns(3),
            {{"a", "b", "c,d,e\""}},
            {},
            1},
           {"merge after a quoted field",
            "\"a,1\",b,c,d\n",
            with_columns(2),
            {{"a,1", "b,c,d"}},
            {},
            1},
           {"merge into one column", "a,b,c\n", with_columns(1), {{"a,b,c"}}, {}, 1},
           {"merge empty fields", "a,,,\n", with_columns(2), {{"a", ",,"}}, {}, 1},
           {"too many",
            "a,b,c,d,e\n",
            no_merge,
            {},
            {{{"a", "b", "c", "d", "e"}, "Row has extra columns (expected 3)", 1}},
            0},
           {"blank line padded",
            "a,b,c\n\nd,e,f\n",
            with_columns(3),
            {{"a", "b", "c"}, {"", "", ""}, {"d", "e", "f"}},
            {},
            1},
           {"blank line with one column", "\n", with_columns(1), {{""}}, {}, 0},
           {"merge with a high delimiter",
            "a\xA7"
            "b\xA7"
            "c\n",
            high,
            {{"a",
              "b\xC2\xA7"
              "c"}},
            {},
            1},
           {"both ways",
            "a\nb,c,d,e\nf,g,h\n",
            neither,
            {{"f", "g", "h"}},
            {{{"a"}, "Row has too few columns (expected 3)", 1},
             {{"b", "c", "d", "e"}, "Row has extra columns (expected 3)", 2}},
            0},
       }) {
    SCOPED_TRACE(c.name);
    const BufferOutcome out = process_buffer(c.input, c.options);
    EXPECT_EQ(out.good_rows(), c.good);
    const auto q = out.quarantine();
    ASSERT_EQ(q.size(), c.quarantined.size());
    for (std::size_t i = 0; i < q.size(); ++i) {
      EXPECT_EQ(q[i].fields, c.quarantined[i].fields);
      EXPECT_EQ(q[i].reason, c.quarantined[i].reason);
      EXPECT_EQ(q[i].line, c.quarantined[i].line);
    }
    expect_counters(out, c.good.size() + c.quarantined.size(), c.good.size(), c.repaired,
                    c.quarantined.size());
  }
}

// The line of a quarantined record is the line on which it ends.
TEST(ProcessBuffer, QuarantineLineIsWhereTheRecordEnds) {
  struct Case {
    std::string input;
    std::uint64_t line;
  };
  RepairOptions o = with_columns(3);
  o.fill_ragged_rows = false;
  for (const Case& c : std::vector<Case>{
           {"a,b,c\n1,2\nx,y,z\n", 2},
           {"a,b,c\n1,2", 2},
           {"a,b,c\r\n1,2\r\nx,y,z\r\n", 2},
           {"a,b,c\r1,2\rx,y,z\r", 2},
           {"a,b,c\n\"1\n2\",3\nx,y,z\n", 3},
           {"a,b,c\n\"1\r2\",3\nx,y,z\n", 2},
           {"a,b,c\n\"\"\"\n\"\n", 3},
           {"a,b,c\n\n", 2},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    const auto q = process_buffer(c.input, o).quarantine();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].line, c.line);
  }
}

TEST(ProcessBuffer, TrialPassesUseTheDoubleQuote) {
  // The inference reads 'a and b' as two fields, so the real pass pads its two fields to three.
  RepairOptions o;
  o.quote_char = '\'';
  const BufferOutcome out = process_buffer("'a,b',c\n'd,e',f\n", o);
  EXPECT_EQ(out.inferred_columns, 3u);
  EXPECT_EQ(out.good_rows(), (std::vector<Row>{{"a,b", "c", ""}, {"d,e", "f", ""}}));
}

TEST(ProcessBuffer, HugeColumnCountIsRefusedBeforeAllocating) {
  RepairOptions o = with_columns(std::uint64_t{1} << 40);
  EXPECT_THROW(process_buffer("a,b\n", o), ColumnCountTooLarge);
  EXPECT_THROW(process_buffer("a,b\n", o), std::bad_alloc);
  o.fill_ragged_rows = false;  // nothing to pad: the record is quarantined
  EXPECT_EQ(process_buffer("a,b\n", o).quarantined_rows, 1u);
}

TEST(ProcessBuffer, ModeratelyWideRowsArePadded) {
  const BufferOutcome out = process_buffer("a,b\nc\n\n", with_columns(100000));
  const auto rows = out.good_rows();
  ASSERT_EQ(rows.size(), 3u);
  for (const Row& r : rows)
    EXPECT_EQ(r.size(), 100000u);
  EXPECT_EQ(rows[0][0], "a");
  EXPECT_EQ(rows[0][99999], "");
  EXPECT_LT(out.memory_bytes(), 1000u) << "padding costs no bytes";
}

TEST(ProcessBuffer, OutcomeIsCompact) {
  std::string input;
  for (int i = 0; i < 10000; ++i)
    input += "12,abc,\"x,y\",4.5,2024-01-01,,z\n";
  const BufferOutcome out = process_buffer(input, RepairOptions{});
  EXPECT_EQ(out.quorled_rows, 10000u);
  EXPECT_LT(out.memory_bytes(), input.size() / 10);
}

}  // namespace
}  // namespace quorle::engine
