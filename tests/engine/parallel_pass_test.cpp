// The pass on several threads against the pass on one: random buffers and realistic tables, each
// option set the package uses, parts of a few bytes so that every kind of record crosses a part's
// start; every field of the outcome must be the same.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/parallel_pass.hpp"
#include "engine/report_pass.hpp"
#include "random_buffers.hpp"

namespace quorle::engine {
namespace {

using testing::RandomBuffers;

struct RowImage {
  bool verbatim;
  std::string raw;
  bool ascii, quote_free;
  Row fields;
  std::vector<std::uint8_t> plain;
  std::uint64_t padding;
  bool operator==(const RowImage&) const = default;
};

void add_rows(const RowStore& store, std::vector<RowImage>& rows) {
  StoredRow r;
  for (auto cursor = store.cursor(); cursor.next(r, true);)
    rows.push_back({r.verbatim, std::string(r.raw), r.ascii, r.quote_free,
                    Row(r.fields.begin(), r.fields.end()),
                    std::vector<std::uint8_t>(r.plain.begin(), r.plain.end()), r.padding});
}

void expect_same_sample(const LineSample& a, const LineSample& b, const char* what) {
  EXPECT_EQ(a.count, b.count) << what;
  EXPECT_EQ(a.lines, b.lines) << what;
}

// Every field of two outcomes; the rows are given apart, as hand-overs split them.
void expect_same(const ReportPassOutcome& a, const std::vector<RowImage>& a_rows,
                 const ReportPassOutcome& b, const std::vector<RowImage>& b_rows) {
  ASSERT_EQ(a_rows.size(), b_rows.size());
  for (std::size_t i = 0; i < a_rows.size(); ++i)
    ASSERT_EQ(a_rows[i], b_rows[i]) << "row " << i;
  ASSERT_EQ(a.quarantine.size(), b.quarantine.size());
  for (std::size_t i = 0; i < a.quarantine.size(); ++i) {
    const QuarantinedRecord &x = a.quarantine[i], &y = b.quarantine[i];
    EXPECT_EQ(std::tie(x.first_line, x.last_line, x.begin, x.end, x.reason),
              std::tie(y.first_line, y.last_line, y.begin, y.end, y.reason))
        << "quarantined " << i;
  }
  ASSERT_EQ(a.repairs.size(), b.repairs.size());
  for (std::size_t i = 0; i < a.repairs.size(); ++i) {
    const RepairEvent &x = a.repairs[i], &y = b.repairs[i];
    EXPECT_EQ(std::tie(x.first_line, x.last_line, x.count, x.kind),
              std::tie(y.first_line, y.last_line, y.count, y.kind))
        << "repair " << i;
  }
  ASSERT_EQ(a.skipped.size(), b.skipped.size());
  for (std::size_t i = 0; i < a.skipped.size(); ++i) {
    const SkippedRun &x = a.skipped[i], &y = b.skipped[i];
    EXPECT_EQ(std::tie(x.first_line, x.last_line, x.begin, x.end, x.kind),
              std::tie(y.first_line, y.last_line, y.begin, y.end, y.kind))
        << "skipped " << i;
  }
  ASSERT_EQ(a.row_lines.size(), b.row_lines.size());
  for (std::size_t i = 0; i < a.row_lines.size(); ++i)
    EXPECT_EQ(std::tie(a.row_lines[i].first_line, a.row_lines[i].last_line),
              std::tie(b.row_lines[i].first_line, b.row_lines[i].last_line));
  EXPECT_EQ(a.total_rows, b.total_rows);
  EXPECT_EQ(a.good_rows, b.good_rows);
  EXPECT_EQ(a.repaired_rows, b.repaired_rows);
  EXPECT_EQ(a.blank_lines, b.blank_lines);
  EXPECT_EQ(a.columns, b.columns);
  EXPECT_EQ(a.has_header, b.has_header);
  EXPECT_EQ(a.header, b.header);
  expect_same_sample(a.replaced, b.replaced, "replaced");
  expect_same_sample(a.recoded, b.recoded, "recoded");
  expect_same_sample(a.long_quotes, b.long_quotes, "long_quotes");
  expect_same_sample(a.rereads, b.rereads, "rereads");
  expect_same_sample(a.literal_quotes, b.literal_quotes, "literal_quotes");
  expect_same_sample(a.stray_quotes, b.stray_quotes, "stray_quotes");
  EXPECT_EQ(a.header_first_line, b.header_first_line);
  EXPECT_EQ(a.header_last_line, b.header_last_line);
  EXPECT_EQ(a.names_last_line, b.names_last_line);
  EXPECT_EQ(a.end_line, b.end_line);
  EXPECT_EQ(a.skips_repeated_header, b.skips_repeated_header);
}

// The pass on one thread, then on several with each part size, with and without hand-overs.
void expect_parallel_same(const std::string& input, const ReportPassOptions& options,
                          std::mt19937_64& rng) {
  ReportPassOutcome serial;
  ASSERT_TRUE(report_pass(input, options, serial));
  std::vector<RowImage> serial_rows;
  add_rows(serial.rows, serial_rows);
  for (const std::uint64_t part : {1, 2, 3, 5, 8, 13, 64, 1 << 20}) {
    // Now and then parts that may read only a few bytes past their stop.
    const std::uint64_t reach = rng() % 3 == 0 ? 1 + rng() % 16 : 0;
    const ParallelPlan plan{static_cast<unsigned>(2 + rng() % 3), part, reach};
    SCOPED_TRACE("part bytes " + std::to_string(part) + ", reach " + std::to_string(reach) +
                 ", threads " + std::to_string(plan.threads));
    ReportPassOutcome parallel;
    ASSERT_TRUE(report_pass_parallel(input, options, parallel, plan));
    std::vector<RowImage> rows;
    add_rows(parallel.rows, rows);
    expect_same(serial, serial_rows, parallel, rows);

    ReportPassOutcome handed;
    std::vector<RowImage> handed_rows;
    const HandOverRows collect = [&](RowStore&& store) {
      add_rows(store, handed_rows);
      return true;
    };
    ASSERT_TRUE(report_pass_parallel(input, options, handed, plan, {}, 1, collect, 1));
    add_rows(handed.rows, handed_rows);
    expect_same(serial, serial_rows, handed, handed_rows);
    if (::testing::Test::HasFailure()) return;
  }
}

using Change = std::function<void(ReportPassOptions&)>;

// The option sets the package passes: its defaults, and each switch its callers turn.
std::vector<ReportPassOptions> package_option_sets(std::uint8_t delimiter, std::uint8_t quote,
                                                  bool repair) {
  const std::vector<Change> changes = {
      [](ReportPassOptions&) {},
      [](ReportPassOptions& o) { o.header = false; },
      [](ReportPassOptions& o) { o.comment = '#'; },
      [](ReportPassOptions& o) { o.skip_repeated_header = true; },
      [](ReportPassOptions& o) { o.skip_repeated_header = true, o.header_rows = 2; },
      [](ReportPassOptions& o) { o.header_rows = 3, o.first_line = 7; },
      [](ReportPassOptions& o) { o.escape = '\\'; },
      [](ReportPassOptions& o) { o.skip_initial_space = true; },
      [](ReportPassOptions& o) { o.recode_cp1252 = true, o.skip_blank_lines = false; },
      [](ReportPassOptions& o) { o.expected_columns = 3, o.merge_overflow = false; },
      [](ReportPassOptions& o) { o.expected_columns = 1, o.fill_ragged_rows = false; },
      [](ReportPassOptions& o) { o.width_hint = 3, o.long_quoted_lines = 1; },
      [](ReportPassOptions& o) { o.header = false, o.width_hint = 2, o.trace_rows = true; },
      [](ReportPassOptions& o) { o.header_names = {"x", "y", "z", "w"}; },
      [](ReportPassOptions& o) { o.reread_unterminated = false, o.literal_quotes = false; },
      [](ReportPassOptions& o) {  // the backend's rules
        o.stray_quote_width = o.literal_quotes = o.quoted_cr_ends_line = false;
        o.leading_mark_is_text = o.trim_empty_tail = o.count_from_first_row = false;
      },
  };
  std::vector<ReportPassOptions> sets;
  for (const Change& change : changes) {
    ReportPassOptions o;
    o.delimiter = delimiter;
    o.quote_char = quote;
    o.repair_quotes = repair;
    o.trace_rows = true;
    change(o);
    sets.push_back(o);
  }
  return sets;
}

TEST(ParallelPass, SameAsOneThreadOnRandomBuffers) {
  RandomBuffers random(20261208);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 60; ++i) {
    const testing::Options o = random.options();
    const std::string input = random.buffer(o, 300);
    const auto sets = package_option_sets(o.delimiter, o.quote, o.repair);
    for (std::size_t k = 0; k < sets.size(); ++k) {
      const ReportPassOptions& options = sets[k];
      SCOPED_TRACE("option set " + std::to_string(k) + ", buffer " + std::to_string(i));
      expect_parallel_same(input, options, rng);
      if (HasFailure()) return;
    }
  }
}

// Tables as exports write them, with the damage the pass repairs: ragged and overlong rows,
// quoted fields over lines, stray and unterminated quotes, comments, blank lines, repeated
// headers, CR LF and lone CR line ends.
std::string damaged_table(std::mt19937_64& rng) {
  const auto pick = [&](std::uint64_t n) { return rng() % n; };
  std::string s = pick(4) == 0 ? "# exported\n" : "";
  s += "id,name,note\n";
  const int rows = 1 + static_cast<int>(pick(40));
  for (int r = 0; r < rows; ++r) {
    const char* end = pick(8) == 0 ? "\r\n" : (pick(16) == 0 ? "\r" : "\n");
    switch (pick(14)) {
      case 0: s += "id,name,note"; break;
      case 1: s += "# note"; break;
      case 2: break;
      case 3: s += std::to_string(r) + ",\"two\nlines\",x"; break;
      case 4: s += std::to_string(r) + ",\"st\"ray\",y"; break;
      case 5: s += std::to_string(r) + ",short"; break;
      case 6: s += std::to_string(r) + ",a,b,c,d"; break;
      case 7: s += std::to_string(r) + ",a,,"; break;
      case 8: s += std::to_string(r) + ",\"ANTON\" GmbH,\xE9t\xE9"; break;
      case 9: s += "\"" + std::to_string(r) + ",open,quote"; break;
      case 10: s += std::to_string(r) + ",\"esc\\\"aped\",z"; break;
      default: s += std::to_string(r) + ",name " + std::to_string(r) + ",note"; break;
    }
    s += end;
  }
  return s;
}

TEST(ParallelPass, SameAsOneThreadOnDamagedTables) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 60; ++i) {
    const std::string input = damaged_table(rng);
    const auto sets = package_option_sets(',', '"', true);
    for (std::size_t k = 0; k < sets.size(); ++k) {
      const ReportPassOptions& options = sets[k];
      SCOPED_TRACE("option set " + std::to_string(k) + ", table " + std::to_string(i) + ":\n" +
                   input);
      expect_parallel_same(input, options, rng);
      if (HasFailure()) return;
    }
  }
}

TEST(ParallelPass, ProgressAndHandOverCanStopIt) {
  std::mt19937_64 rng(3);
  std::string input;
  while (input.size() < 4000)
    input += damaged_table(rng);
  ReportPassOutcome out;
  std::uint64_t calls = 0;
  const Progress stop_at_third = [&](std::uint64_t) { return ++calls < 3; };
  EXPECT_FALSE(report_pass_parallel(input, {}, out, {2, 100}, stop_at_third, 1));
  EXPECT_EQ(calls, 3u);
  const HandOverRows refuse = [](RowStore&&) { return false; };
  EXPECT_FALSE(report_pass_parallel(input, {}, out, {2, 100}, {}, 1, refuse, 1));
}

}  // namespace
}  // namespace quorle::engine
