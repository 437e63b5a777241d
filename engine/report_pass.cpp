#include "engine/report_pass.hpp"

#include "engine/column_count.hpp"
#include "engine/invariant.hpp"
#include "engine/pipeline.hpp"
#include "engine/record_loop.hpp"
#include "engine/report_sorter.hpp"

namespace quorle::engine {
namespace {

using detail::PassHooks;
using detail::ReportSorter;

// The column count the sampled records share, comment lines left out (the backend's inference
// knows none).
std::uint64_t count_without_comments(std::string_view data, const ReportPassOptions& options) {
  constexpr std::size_t SAMPLE_RECORDS = 100;  // as many as infer_column_count samples
  RecordTokenizer tokenizer(data, options.delimiter, '"', true);
  FieldCounter record(data);
  std::vector<std::uint64_t> sample;
  while (sample.size() < SAMPLE_RECORDS) {
    if (tokenizer.position() < data.size() &&
        static_cast<std::uint8_t>(data[tokenizer.position()]) == options.comment) {
      tokenizer.skip_line();
      continue;
    }
    if (!tokenizer.next(record)) break;
    const std::uint64_t n = record.field_count();
    if (n != 0 && !(n == 1 && record.first_field_blank())) sample.push_back(n);
  }
  return most_frequent_count(sample);
}

}  // namespace

std::uint64_t ill_formed_bytes(std::string_view data) {
  LineSample sample;
  detail::note_ill_formed(sample, data, 1);
  return sample.count;
}

namespace detail {

RecordTokenizer package_tokenizer(std::string_view data, const ReportPassOptions& options) {
  RecordTokenizer tokenizer(data, options.delimiter, options.quote_char, options.repair_quotes);
  TokenizerExtras extras;
  extras.reread_unterminated = options.reread_unterminated;
  extras.escape = options.escape;
  extras.long_quoted_lines = options.long_quoted_lines;
  extras.skip_initial_space = options.skip_initial_space;
  extras.literal_quotes = options.literal_quotes;
  extras.quoted_cr_ends_line = options.quoted_cr_ends_line;  // the report's lines are the file's
  extras.leading_mark_is_text = options.leading_mark_is_text;  // its mark is gone by now
  tokenizer.set_extras(extras);
  return tokenizer;
}

void settle_count(std::string_view data, const ReportPassOptions& options, ReportSorter& sorter) {
  if (options.expected_columns) {
    sorter.set_columns(*options.expected_columns);
  } else if (!options.header && !data.empty()) {
    // The count comes from the sampled records that hold something. When there were none (`""`,
    // an unterminated quote over blanks), the first row's width is the count, as a header's is:
    // rows of no count at all would leave a stream of batches without a width.
    const std::uint64_t n = options.comment < 0 ? infer_column_count(data, options.delimiter)
                                                : count_without_comments(data, options);
    if (n != 0) sorter.set_columns(n);
  }
}

void finish_pass(ReportPassOutcome& out, std::uint64_t columns, std::uint64_t end_line) {
  out.columns = columns;
  out.end_line = end_line;
  QUORLE_CHECK(out.total_rows == out.good_rows + out.quarantine.size());
  QUORLE_CHECK(out.repaired_rows <= out.good_rows);
  out.rows.shrink_to_fit();
}

}  // namespace detail

bool report_pass(std::string_view data, const ReportPassOptions& options, ReportPassOutcome& out,
                 const Progress& progress, std::uint64_t progress_step, const HandOverRows& hand_over,
                 std::uint64_t handover_step) {
  out.rows = RowStore(data, options.delimiter, options.quote_char);
  ReportSorter sorter(data, options, out);
  detail::settle_count(data, options, sorter);
  RecordTokenizer tokenizer = detail::package_tokenizer(data, options);
  tokenizer.set_line(options.first_line);
  RowDraft record(out.rows, data);
  record.set_legacy_cp1252(options.recode_cp1252);
  PassHooks hooks{data, options, out, sorter, progress, hand_over, progress_step, handover_step};
  if (!read_records(tokenizer, record, hooks)) return false;
  detail::finish_pass(out, sorter.columns(), tokenizer.line());
  return true;
}

}  // namespace quorle::engine
