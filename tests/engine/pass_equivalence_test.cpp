// The backend's pass (process_buffer) and the package's (report_pass) set to the backend's rules
// agree on every random buffer of the tokenizer property test: rows, quarantine and counters.
// With the package's own rules they differ where its policy means them to; each difference is
// shown by a case below.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/field_sinks.hpp"
#include "engine/pipeline.hpp"
#include "engine/tokenizer.hpp"
#include "engine/report_pass.hpp"
#include "random_buffers.hpp"

namespace quorle::engine {
namespace {

using testing::Options;
using testing::RandomBuffers;

std::vector<Row> rows_of(const RowStore& store) {
  std::vector<Row> rows;
  StoredRow stored;
  for (auto cursor = store.cursor(); cursor.next(stored, true);) {
    Row row(stored.fields.begin(), stored.fields.end());
    row.resize(row.size() + stored.padding);
    rows.push_back(std::move(row));
  }
  return rows;
}

ReportPassOptions backend_rules(const RepairOptions& r) {
  ReportPassOptions t;
  t.delimiter = *r.delimiter;
  t.quote_char = r.quote_char;
  t.expected_columns = r.expected_columns;
  t.header = false;
  t.skip_blank_lines = false;
  t.fill_ragged_rows = r.fill_ragged_rows;
  t.merge_overflow = r.merge_overflow;
  t.repair_quotes = r.repair_quotes;
  t.reread_unterminated = false;
  t.stray_quote_width = false;
  t.literal_quotes = false;
  t.quoted_cr_ends_line = false;
  t.leading_mark_is_text = false;
  t.trim_empty_tail = false;
  t.count_from_first_row = false;
  return t;
}

// The backend's quarantined record is its fields as tokenized; the package keeps its input
// bytes. The bytes, read alone by the backend's tokenizer, must give those fields.
Row fields_of_bytes(std::string_view bytes, const RepairOptions& r) {
  RecordTokenizer tokenizer(bytes, *r.delimiter, r.quote_char, r.repair_quotes);
  FieldCollector record(bytes);
  Row row;
  if (!tokenizer.next(record)) return {""};  // an empty line: one empty field
  for (const FieldText& f : record.fields())
    row.emplace_back(record.text(f));
  return row;
}

void compare_passes(const std::string& input, const RepairOptions& r) {
  SCOPED_TRACE(::testing::PrintToString(input) + " delimiter " + std::to_string(*r.delimiter) +
               " quote " + std::to_string(r.quote_char) + " repair " +
               std::to_string(r.repair_quotes) + " columns " +
               (r.expected_columns ? std::to_string(*r.expected_columns) : "inferred") +
               " fill " + std::to_string(r.fill_ragged_rows) + " merge " +
               std::to_string(r.merge_overflow));
  const BufferOutcome backend = process_buffer(input, r);
  ReportPassOutcome package;
  ASSERT_TRUE(report_pass(input, backend_rules(r), package));

  ASSERT_EQ(rows_of(package.rows), backend.good_rows());
  ASSERT_EQ(package.total_rows, backend.total_rows);
  ASSERT_EQ(package.good_rows, backend.quorled_rows);
  ASSERT_EQ(package.repaired_rows, backend.repaired_rows);
  ASSERT_EQ(package.quarantine.size(), backend.quarantined_rows);
  if (!input.empty()) {
    ASSERT_EQ(package.columns, backend.inferred_columns);
  }
  ASSERT_TRUE(package.repairs.empty() || backend.repaired_rows != 0);
  const std::vector<QuarantineEntry> set_aside = backend.quarantine();
  for (std::size_t i = 0; i < set_aside.size(); ++i) {
    SCOPED_TRACE("quarantined " + std::to_string(i));
    const QuarantinedRecord& q = package.quarantine[i];
    ASSERT_EQ(q.last_line, set_aside[i].line);
    ASSERT_EQ(reason_text(q.reason, package.columns), set_aside[i].reason);
    const std::string_view bytes = std::string_view(input).substr(q.begin, q.end - q.begin);
    ASSERT_EQ(fields_of_bytes(bytes, r), set_aside[i].fields);
  }
}

RepairOptions random_repair(RandomBuffers& random, const Options& o) {
  RepairOptions r;
  r.delimiter = o.delimiter;
  r.quote_char = o.quote;
  r.repair_quotes = o.repair;
  if (random.below(3) == 0) r.expected_columns = random.below(6);
  r.fill_ragged_rows = random.below(4) != 0;
  r.merge_overflow = random.below(4) != 0;
  return r;
}

TEST(PassEquivalence, BackendRulesGiveTheBackendsOutcome) {
  RandomBuffers random(20261207);
  for (int i = 0; i < 20000; ++i) {
    const Options o = random.options();
    const std::string input = random.buffer(o, random.below(10) == 0 ? 2000 : 200);
    compare_passes(input, random_repair(random, o));
    if (HasFatalFailure()) return;
  }
}

// The package's policy, one rule at a time against the backend's outcome on the same input.
TEST(PassEquivalence, PackageRulesDifferWhereMeantTo) {
  struct Case {
    const char* what;
    std::string input;
    void (*rule)(ReportPassOptions&);
    std::vector<Row> backend_rows;
    std::vector<Row> package_rows;
    std::optional<std::uint64_t> columns = {};
    std::uint64_t backend_count = 2, package_count = 2;  ///< the column counts applied
  };
  const std::vector<Case> cases = {
      {"surplus empty fields are trimmed, not merged", "a,b\nc,d,,\n",
       [](ReportPassOptions& t) { t.trim_empty_tail = true; },
       {{"a", "b"}, {"c", "d,,"}}, {{"a", "b"}, {"c", "d"}}},
      {"a quoted section with text after it is text", "a,\"x\"y\n",
       [](ReportPassOptions& t) { t.literal_quotes = true; },
       {{"a", "xy"}}, {{"a", "\"x\"y"}}},
      {"a leading U+FEFF is text", "\xEF\xBB\xBF" "a\n",
       [](ReportPassOptions& t) { t.leading_mark_is_text = true; },
       {{"a"}}, {{"\xEF\xBB\xBF" "a"}}, {}, 1, 1},
      {"no record to count: the first row's width is the count", " \n \n",
       [](ReportPassOptions& t) { t.count_from_first_row = true; },
       {{" "}, {" "}}, {{" "}, {" "}}, {}, 0, 1},
      {"a stray opening quote keeps its line", "1,\"x,1983\n2,y\"\n3,z,1985\n",
       [](ReportPassOptions& t) { t.stray_quote_width = t.quoted_cr_ends_line = true; },
       {{"1", "x,1983\n2,y", ""}, {"3", "z", "1985"}},
       {{"1", "\"x", "1983"}, {"2", "y\"", ""}, {"3", "z", "1985"}},
       3, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RepairOptions r;
    r.delimiter = ',';
    r.expected_columns = c.columns;
    const BufferOutcome backend = process_buffer(c.input, r);
    EXPECT_EQ(backend.good_rows(), c.backend_rows);
    EXPECT_EQ(backend.inferred_columns, c.backend_count);
    ReportPassOptions t = backend_rules(r);
    ReportPassOutcome same;
    ASSERT_TRUE(report_pass(c.input, t, same));
    EXPECT_EQ(rows_of(same.rows), c.backend_rows);
    EXPECT_EQ(same.columns, c.backend_count);
    c.rule(t);
    ReportPassOutcome package;
    ASSERT_TRUE(report_pass(c.input, t, package));
    EXPECT_EQ(rows_of(package.rows), c.package_rows);
    EXPECT_EQ(package.columns, c.package_count);
  }
}

}  // namespace
}  // namespace quorle::engine
