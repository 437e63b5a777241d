// The package's pass over a buffer: the backend's sorting of records into good rows and quarantine,
// plus what a report needs (each record's lines, every repair, replaced bytes, a header, blank
// records skipped) and the extra tokenizer rules. The backend's pass is left exactly as it is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/records.hpp"
#include "engine/row_store.hpp"

namespace quorle::engine {

struct ReportPassOptions {
  std::uint8_t delimiter = ',';  ///< settled by the caller (given or sniffed)
  std::uint8_t quote_char = '"';
  int escape = -1;  ///< inside a quoted field, makes the next byte text; -1: none
  std::optional<std::uint64_t> expected_columns;  ///< absent: the header's count, or inferred
  bool header = true;            ///< the first record that is not blank is the header
  bool skip_blank_lines = true;  ///< blank records are counted, not kept
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  bool repair_quotes = true;
  bool reread_unterminated = true;
  /// Ill-formed UTF-8 is read as Windows-1252 (counted as recoded) instead of U+FFFD.
  bool recode_cp1252 = false;
  /// A quoted field spanning more line breaks than this is worth a warning.
  std::uint64_t long_quoted_lines = 100;
  /// Records forming the header: the names come from the first, the others are neither rows nor
  /// quarantined (units, a second line of names).
  std::uint64_t header_rows = 1;
  /// The line number of the data's first byte, when the data is a part of a file.
  std::uint64_t first_line = 1;
  bool skip_initial_space = false;  ///< see TokenizerExtras
  /// A line starting with this byte, where a record would start, is a comment: skipped and
  /// listed, its quotes opening nothing. -1: none.
  int comment = -1;
  /// A record after the header whose fields are the header's (exports put one after the other)
  /// is skipped and listed, and so are the header's further records repeated after it. Only for
  /// a header of two names or more: a value of one column may well read as its name.
  bool skip_repeated_header = false;
  /// The header's names (joined over its records by the caller) instead of its first record's;
  /// empty: the first record's. Fitted to the column count as the record would be.
  Row header_names;
  /// Notes the lines of every row stored, in ReportPassOutcome::row_lines (for tests).
  bool trace_rows = false;
  /// The width detect found; 0: none. The count a stray opening quote is judged by (see
  /// RecordTokenizer::set_width) for the header and, without a header and a given count, the rows.
  std::uint64_t width_hint = 0;
  /// The package's own rules, each off under the backend's: a stray opening quote judged by the
  /// column count, literal quoted sections (TokenizerExtras), lone CRs inside quotes ending a
  /// line, a leading U+FEFF as text, surplus empty fields trimmed instead of merged, and the
  /// first row's width as the count when the sampled records give none.
  bool stray_quote_width = true;
  bool literal_quotes = true;
  bool quoted_cr_ends_line = true;
  bool leading_mark_is_text = true;
  bool trim_empty_tail = true;
  bool count_from_first_row = true;
};

/// Reread: an unterminated quote read as text. LiteralQuotes: a quoted field with text after its
/// closing quote read as text. StrayQuote: an opening quote read as text so that the record
/// keeps its line instead of merging the lines after it.
enum class RepairKind : std::uint8_t { Padded, Merged, Trimmed, Reread, LiteralQuotes, StrayQuote };

/// One change made to a record, with the lines it stood on.
struct RepairEvent {
  std::uint64_t first_line;
  std::uint64_t last_line;
  /// Fields added, merged or dropped; quotes read again; fields whose quotes were text; the
  /// lines a stray quote would have merged.
  std::uint32_t count;
  RepairKind kind;
};

/// A record set aside: where it stood, as lines and as input bytes.
struct QuarantinedRecord {
  std::uint64_t first_line;
  std::uint64_t last_line;
  std::uint64_t begin;
  std::uint64_t end;
  QuarantineReason reason;
};

enum class SkipKind : std::uint8_t { Comment, HeaderLine, RepeatedHeader };

/// Lines skipped in a row for the same reason: the first record's bytes give its text.
struct SkippedRun {
  std::uint64_t first_line;
  std::uint64_t last_line;
  std::uint64_t begin;  ///< the first record's bytes in the input
  std::uint64_t end;
  SkipKind kind;
};

/// The lines a stored row stood on.
struct LineSpan {
  std::uint64_t first_line;
  std::uint64_t last_line;
};

/// Up to LIMIT line numbers of something that happened `count` times.
struct LineSample {
  static constexpr std::size_t LIMIT = 10;
  std::uint64_t count = 0;
  std::vector<std::uint64_t> lines;
  void add(std::uint64_t line, std::uint64_t times = 1) {
    count += times;
    if (lines.size() < LIMIT && (lines.empty() || lines.back() != line)) lines.push_back(line);
  }
};

struct ReportPassOutcome {
  RowStore rows;  ///< the header first, when there is one, then the good rows
  std::vector<QuarantinedRecord> quarantine;
  std::vector<RepairEvent> repairs;
  std::uint64_t total_rows = 0;  ///< data records: good plus quarantined (header and blanks apart)
  std::uint64_t good_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t blank_lines = 0;
  std::uint64_t columns = 0;  ///< the column count applied; 0: none enforced
  bool has_header = false;
  Row header;              ///< the header's fields as written
  LineSample replaced;     ///< bytes of ill-formed UTF-8 replaced by U+FFFD
  LineSample recoded;      ///< bytes of ill-formed UTF-8 read as Windows-1252
  LineSample long_quotes;  ///< quoted fields spanning many lines
  LineSample rereads;      ///< records holding an unterminated quote read again
  LineSample literal_quotes;  ///< fields with text after their closing quote, read as text
  LineSample stray_quotes;    ///< records read again with a stray opening quote as text
  /// Lines of the header's records; 0 without a header.
  std::uint64_t header_first_line = 0;
  std::uint64_t header_last_line = 0;
  std::uint64_t names_last_line = 0;  ///< the last line of the header's first record
  std::uint64_t end_line = 0;         ///< the line the pass stopped on
  /// Comment lines, the header's further records and repeats of the header, in input order.
  std::vector<SkippedRun> skipped;
  bool skips_repeated_header = false;  ///< repeats of this header were looked for
  std::vector<LineSpan> row_lines;     ///< with ReportPassOptions::trace_rows: each good row's
};

/// Called with the input offset reached, at least every `progress_step` bytes; returning false
/// abandons the pass (the outcome is then incomplete).
using Progress = std::function<bool(std::uint64_t)>;
/// Takes the good rows found so far, once they span at least `handover_step` bytes of input, so that
/// they can be written while the pass goes on; `out.rows` then starts afresh. Returning false
/// abandons the pass.
using HandOverRows = std::function<bool(RowStore&&)>;

/// Sorts every record of `data`. Returns false when `progress` or `hand_over` abandoned the pass.
/// With `hand_over`, `out.rows` holds only the rows found since the last hand-over.
bool report_pass(std::string_view data, const ReportPassOptions& options, ReportPassOutcome& out,
                 const Progress& progress = {}, std::uint64_t progress_step = 64u << 20,
                 const HandOverRows& hand_over = {}, std::uint64_t handover_step = 8u << 20);

/// Bytes of `data` that lossy decoding replaces by U+FFFD.
std::uint64_t ill_formed_bytes(std::string_view data);

}  // namespace quorle::engine
