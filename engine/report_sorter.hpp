// The pieces of the package's pass over records that a pass over a part of the input shares
// with the whole pass: the sorting of each record, and the hooks on the record loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/invariant.hpp"
#include "engine/column_count.hpp"
#include "engine/pipeline.hpp"
#include "engine/report_pass.hpp"
#include "engine/row_draft.hpp"
#include "engine/row_fit.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"

namespace quorle::engine::detail {


// A blank record: one field of nothing but spaces and tabs, not quoted. In a table of one column
// such a line is a value (" "): only a line whose field holds nothing is blank there.
inline bool is_blank(RowDraft& record, std::string_view raw, bool one_column) {
  if (record.field_count() != 1) return false;
  for (const char c : raw) {
    if (c != ' ' && c != '\t') return false;
  }
  static const Row nothing{std::string()};
  return !one_column || raw.empty() || record.fields_are(nothing);
}

// Names of the header fitted to the column count as its record would be: padded with empty
// names; surplus ones dropped when all are empty, else merged into the last column.
inline Row fitted_names(const Row& names, std::uint64_t columns, std::string_view joiner) {
  if (columns == 0 || names.size() <= columns) {
    Row out = names;
    out.resize(columns == 0 ? names.size() : columns);
    return out;
  }
  Row out(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(columns));
  bool surplus = false;
  for (std::size_t j = columns; j < names.size(); ++j)
    surplus = surplus || !names[j].empty();
  for (std::size_t j = columns; surplus && j < names.size(); ++j) {
    out.back() += joiner;
    out.back() += names[j];
  }
  return out;
}

// Counts the ill-formed bytes of a record, with the line each stands on (an LF or a lone CR
// inside its quoted fields ends one).
inline void note_ill_formed(LineSample& sample, std::string_view raw, std::uint64_t line) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(raw.data());
  const std::size_t n = raw.size();
  for (std::size_t i = 0; i < n;) {
    if (p[i] < 0x80) {  // a line break in a record lies inside quotes: LF, CR LF or a lone CR
      line += p[i] == '\n' || (p[i] == '\r' && (i + 1 == n || p[i + 1] != '\n'));
      ++i;
      continue;
    }
    const int r = utf8_sequence_at(p + i, n - i);
    if (r < 0) sample.add(line, static_cast<std::uint64_t>(-r));
    i += static_cast<std::size_t>(r < 0 ? -r : r);
  }
}

// Sorts each record the tokenizer drafted into the row store: stored as drafted or as its
// verbatim span, fitted to the column count, or dropped (blank, quarantined, header lines).
class ReportSorter {
 public:
  ReportSorter(std::string_view data, const ReportPassOptions& options, ReportPassOutcome& out)
      : data_(data),
        options_(options),
        delimiter_text_(code_point_utf8(options.delimiter)),
        rules_{options.fill_ragged_rows, options.merge_overflow, options.trim_empty_tail},
        out_(out) {
    settle_quote_width();
  }

  /// The same sorter, its state as it stands, for records whose outcome goes to `out` (a part of
  /// the input sorted apart). `out` is told whether there is a header and whether its repeats are
  /// looked for, as those decide how records are sorted.
  ReportSorter(const ReportSorter& from, ReportPassOutcome& out)
      : data_(from.data_),
        options_(from.options_),
        delimiter_text_(from.delimiter_text_),
        rules_(from.rules_),
        columns_(from.columns_),
        known_columns_(from.known_columns_),
        quote_width_(from.quote_width_),
        header_left_(from.header_left_),
        header_records_(from.header_records_),
        next_repeated_(from.next_repeated_),
        row_unlike_header_(from.row_unlike_header_),
        widest_(from.widest_),
        out_(out) {
    out.has_header = from.out_.has_header;
    out.skips_repeated_header = from.out_.skips_repeated_header;
  }

  /// Whether every later record is sorted by the same rules: the header was taken with all its
  /// records and the count is known (or never will be). Only the repeated-header state goes on.
  bool settled() const {
    return !(options_.header && !out_.has_header) && header_left_ == 0 &&
           (known_columns_ || !options_.count_from_first_row);
  }
  /// What carries from record to record once settled: whether a row unlike the header came, and
  /// which of the header's records a repeat would go on with.
  struct RepeatState {
    bool row_unlike_header = false;
    std::size_t next_repeated = 0;
    bool operator==(const RepeatState&) const = default;
  };
  RepeatState repeat_state() const { return {row_unlike_header_, next_repeated_}; }
  void set_repeat_state(const RepeatState& state) {
    row_unlike_header_ = state.row_unlike_header;
    next_repeated_ = state.next_repeated;
  }

  void set_columns(std::uint64_t columns) {
    columns_ = columns;
    known_columns_ = true;
    settle_quote_width();
  }
  std::uint64_t columns() const { return columns_; }
  // The count the next record should have, by which a stray opening quote is judged; 0: none.
  std::uint64_t quote_width() const { return quote_width_; }

  void sort(RowDraft& record, const RecordSpan& span, std::uint64_t first, std::uint64_t last) {
    const std::string_view raw = data_.substr(span.begin, span.end - span.begin);
    if (span.long_quote_line != 0) out_.long_quotes.add(span.long_quote_line);
    if (!record.valid_utf8())
      note_ill_formed(options_.recode_cp1252 ? out_.recoded : out_.replaced, raw, first);
    const bool header_due = options_.header && !out_.has_header;
    const bool one_column = known_columns_ && columns_ == 1 && !header_due;
    if ((options_.skip_blank_lines || header_due) && is_blank(record, raw, one_column)) {
      record.drop();
      ++out_.blank_lines;
      return;
    }
    const bool quotes_read_as_text = (span.rereads | span.literal_quotes) != 0 ||
                                     span.stray_quote_lines != 0;
    if (quotes_read_as_text) [[unlikely]]
      note_quotes_read_as_text(span, first, last);
    if (header_due) return take_header(record, span, first, last);
    if (header_left_ != 0) {  // the header's further records
      if (out_.skips_repeated_header) header_records_.push_back(record.texts());
      record.drop();
      --header_left_;
      out_.header_last_line = last;
      return skip(span, first, last, SkipKind::HeaderLine);
    }
    if (out_.skips_repeated_header) {
      // Only after a row unlike the header: exports put one after the other each hold rows
      // under their header, while a file of the same line over and over holds rows only.
      if (row_unlike_header_ && repeats_header(record)) {
        record.drop();
        return skip(span, first, last, SkipKind::RepeatedHeader);
      }
      row_unlike_header_ = row_unlike_header_ || !record.fields_are(header_records_[0]);
    }

    ++out_.total_rows;
    const std::uint64_t n = record.field_count();
    if (!known_columns_ && options_.count_from_first_row) set_columns(n);
    const std::uint64_t c = columns_;
    const RowFit fit = fit_row(n, c, rules_, [&] { return record.empty_from(c); });
    if (fit == RowFit::TooFew || fit == RowFit::TooMany)
      return quarantine(record, span, first, last, misfit_reason(fit));
    fit_record(fit, record, span, first, last);
    const bool repaired = quotes_read_as_text || fit != RowFit::AsIs;
    ++out_.good_rows;
    if (repaired) ++out_.repaired_rows;
    if (options_.trace_rows) out_.row_lines.push_back({first, last});
  }

  /// Lines passed over for `kind`: a run with the lines just before it when they were too.
  void skip(const RecordSpan& span, std::uint64_t first, std::uint64_t last, SkipKind kind) {
    if (!out_.skipped.empty()) {
      SkippedRun& previous = out_.skipped.back();
      if (previous.kind == kind && previous.last_line + 1 == first) {
        previous.last_line = last;
        return;
      }
    }
    out_.skipped.push_back({first, last, span.begin, span.end, kind});
  }

 private:
  // The header again, or its next record right after its first one came again.
  bool repeats_header(RowDraft& record) {
    if (next_repeated_ != 0 && next_repeated_ < header_records_.size() &&
        record.fields_are(header_records_[next_repeated_])) {
      ++next_repeated_;
      return true;
    }
    next_repeated_ = record.fields_are(header_records_[0]) ? 1 : 0;
    return next_repeated_ != 0;
  }

  void settle_quote_width() {
    if (!options_.stray_quote_width) {
      quote_width_ = 0;
    } else if (options_.header && !out_.has_header) {  // the header's own count is not known yet
      quote_width_ = options_.expected_columns ? *options_.expected_columns : options_.width_hint;
    } else if (!options_.header && !options_.expected_columns && options_.width_hint != 0) {
      quote_width_ = options_.width_hint;  // detect's width over the count sampled here
    } else {
      quote_width_ = columns_;
    }
  }

  void note_quotes_read_as_text(const RecordSpan& span, std::uint64_t first, std::uint64_t last) {
    if (span.rereads != 0) {
      out_.repairs.push_back({first, last, span.rereads, RepairKind::Reread});
      out_.rereads.add(first);
    }
    if (span.literal_quotes != 0) {
      event(first, last, span.literal_quotes, RepairKind::LiteralQuotes);
      out_.literal_quotes.add(first, span.literal_quotes);
    }
    if (span.stray_quote_lines != 0) {
      out_.repairs.push_back({first, last, narrow(span.stray_quote_lines), RepairKind::StrayQuote});
      out_.stray_quotes.add(first);
    }
  }

  // The header is never set aside. Without a given count its width is the count; otherwise it is
  // fitted to the count like a row, whatever the repair switches say.
  void take_header(RowDraft& record, const RecordSpan& span, std::uint64_t first,
                   std::uint64_t last) {
    out_.has_header = true;
    settle_quote_width();
    out_.header_first_line = first;
    out_.header_last_line = last;
    out_.names_last_line = last;
    header_left_ = options_.header_rows > 1 ? options_.header_rows - 1 : 0;
    const std::uint64_t n = record.field_count();
    if (!known_columns_) set_columns(n);
    const std::uint64_t c = columns_;
    if (options_.skip_repeated_header) {
      header_records_.push_back(record.texts());
      std::size_t names = 0;
      for (const std::string& f : header_records_[0])
        names += !f.empty();
      out_.skips_repeated_header = names >= 2;
    }
    if (!options_.header_names.empty()) {
      record.drop();
      out_.header = fitted_names(options_.header_names, c, delimiter_text_);
      if (out_.header.size() > widest_) throw ColumnCountTooLarge(out_.header.size());
      out_.rows.begin_row(out_.header.size(), 0);
      for (const std::string& name : out_.header)
        out_.rows.add_text_field(name);
      return;
    }
    const FitRules header_rules{true, true, options_.trim_empty_tail};
    fit_record(fit_row(n, c, header_rules, [&] { return record.empty_from(c); }), record, span,
               first, last);
    StoredRow row;
    auto cursor = out_.rows.cursor();
    QUORLE_CHECK(cursor.next(row, true));
    out_.header.assign(row.fields.begin(), row.fields.end());
    out_.header.resize(row.field_count());
  }

  void quarantine(RowDraft& record, const RecordSpan& span, std::uint64_t first,
                  std::uint64_t last, QuarantineReason reason) {
    record.drop();
    out_.quarantine.push_back({first, last, span.begin, span.end, reason});
  }

  void fit_record(RowFit fit, RowDraft& record, const RecordSpan& span, std::uint64_t first,
                  std::uint64_t last) {
    switch (fit) {
      case RowFit::Padded: return pad(record, span, first, last);
      case RowFit::Trimmed: return trim(record, span, first, last);
      case RowFit::Merged: return merge(record, first, last);
      default: return store(record, span, 0);  // AsIs: records set aside never come here
    }
  }

  void pad(RowDraft& record, const RecordSpan& span, std::uint64_t first, std::uint64_t last) {
    const std::uint64_t added = columns_ - record.field_count();
    if (columns_ > widest_) throw ColumnCountTooLarge(columns_);
    store(record, span, added);
    event(first, last, added, RepairKind::Padded);
  }

  void trim(RowDraft& record, const RecordSpan& span, std::uint64_t first, std::uint64_t last) {
    const std::uint64_t dropped = record.field_count() - columns_;
    if (span.verbatim) {  // empty fields are written as nothing: the tail is only delimiters
      record.drop();
      out_.rows.add_verbatim(span.begin, span.end - span.begin - dropped, 0, span.quote_free,
                             span.ascii);
    } else {
      record.commit_first(columns_);
    }
    event(first, last, dropped, RepairKind::Trimmed);
  }

  // Fields from the last column on become one, joined by the delimiter text.
  void merge(RowDraft& record, std::uint64_t first, std::uint64_t last) {
    const std::uint64_t merged = record.field_count() - columns_;
    record.commit_merged(columns_, delimiter_text_);
    event(first, last, merged, RepairKind::Merged);
  }

  void store(RowDraft& record, const RecordSpan& span, std::uint64_t padding) {
    if (span.verbatim) {
      record.drop();
      return out_.rows.add_verbatim(span.begin, span.end - span.begin, padding, span.quote_free,
                                    span.ascii);
    }
    record.commit(padding);
  }

  static std::uint32_t narrow(std::uint64_t count) {
    const std::uint64_t most = ~std::uint32_t{0};
    return static_cast<std::uint32_t>(count < most ? count : most);
  }

  void event(std::uint64_t first, std::uint64_t last, std::uint64_t count, RepairKind kind) {
    const std::uint32_t n = narrow(count);
    // Records on adjacent lines with the same repair are one entry over all their lines, so
    // an export that lost the same trailing fields on every row costs one entry, not one a row.
    if (!out_.repairs.empty()) {
      RepairEvent& previous = out_.repairs.back();
      if (previous.kind == kind && previous.count == n && previous.last_line + 1 == first) {
        previous.last_line = last;
        return;
      }
    }
    out_.repairs.push_back({first, last, n, kind});
  }

  std::string_view data_;
  const ReportPassOptions& options_;
  std::string delimiter_text_;
  FitRules rules_;
  std::uint64_t columns_ = 0;
  bool known_columns_ = false;
  std::uint64_t quote_width_ = 0;
  std::uint64_t header_left_ = 0;
  // The header's records as read, while repeats of it are looked for; the next of them a
  // repeat would go on with (0: none is under way).
  std::vector<Row> header_records_;
  std::size_t next_repeated_ = 0;
  bool row_unlike_header_ = false;
  // A padded row is written whole: a width whose field slots alone exceed the address space is
  // refused before anything is allocated.
  std::uint64_t widest_ = (~std::uint64_t{0} >> 1) / sizeof(void*);
  ReportPassOutcome& out_;
};

/// The package's hooks on the record loop: comment lines passed over, the stray-quote width kept
/// in step with the count, progress reported and rows handed over; for a pass over a part of the
/// input, where to stop.
struct PassHooks {
  std::string_view data;
  const ReportPassOptions& options;
  ReportPassOutcome& out;
  ReportSorter& sorter;
  const Progress& progress;
  const HandOverRows& hand_over;
  std::uint64_t progress_step, handover_step;
  std::uint64_t next_report = progress_step;
  std::uint64_t next_handover = handover_step;
  /// Stops before the first record at or after this offset, unless a record was read again for
  /// an unterminated quote: the rest of the input is read on then.
  std::uint64_t stop = ~std::uint64_t{0};
  bool stop_on_reread = false;     ///< stops after a record read again instead
  bool pause_when_settled = false;  ///< stops once the sorter is settled
  const std::atomic<bool>* cancel = nullptr;
  bool halted = false;       ///< stopped by one of the above, not abandoned
  bool reread_seen = false;  ///< a record was read again for an unterminated quote
  /// The last line that a quoted reading of a record read again for a stray quote ran over.
  std::uint64_t stray_reach = 0;

  bool skip(RecordTokenizer& tokenizer, std::uint64_t line) {
    if (sorter.quote_width() != tokenizer.width()) tokenizer.set_width(sorter.quote_width());
    if (options.comment < 0 || tokenizer.position() >= data.size() ||
        static_cast<std::uint8_t>(data[tokenizer.position()]) != options.comment)
      return false;
    tokenizer.skip_line();
    sorter.skip(tokenizer.last_span(), line, line, SkipKind::Comment);
    return true;
  }
  void take(RowDraft& record, const RecordSpan& span, std::uint64_t first, std::uint64_t last) {
    if (span.rereads != 0) [[unlikely]]
      reread_seen = true;
    if (span.stray_quote_lines != 0) [[unlikely]]
      stray_reach = std::max(stray_reach, first + span.stray_quote_lines - 1);
    sorter.sort(record, span, first, last);
  }
  bool go_on(std::uint64_t position) {
    if (reread_seen ? stop_on_reread : position >= stop) return halt();
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return halt();
    if (progress && position >= next_report) {
      if (!progress(position)) return false;
      next_report = position + progress_step;
    }
    if (hand_over && position >= next_handover) {
      out.columns = sorter.columns();  // a streaming consumer sizes its columns from it
      if (!hand_over(std::move(out.rows))) return false;
      out.rows = RowStore(data, options.delimiter, options.quote_char);
      next_handover = position + handover_step;
    }
    if (pause_when_settled && !reread_seen && sorter.settled()) return halt();
    return true;
  }
  bool halt() {
    halted = true;
    return false;
  }
};

/// A tokenizer with the package's rules.
RecordTokenizer package_tokenizer(std::string_view data, const ReportPassOptions& options);
/// Gives the sorter the count that is known before any record: given, or inferred from the
/// sampled records when there is no header.
void settle_count(std::string_view data, const ReportPassOptions& options, ReportSorter& sorter);
/// The outcome's last fields and checks, once every record was sorted.
void finish_pass(ReportPassOutcome& out, std::uint64_t columns, std::uint64_t end_line);

}  // namespace quorle::engine::detail
