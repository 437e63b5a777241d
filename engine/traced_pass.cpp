#include "engine/traced_pass.hpp"

#include "engine/check.hpp"
#include "engine/column_count.hpp"
#include "engine/pipeline.hpp"
#include "engine/row_draft.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"

namespace quorle::engine {
namespace {

// A blank record: one field of nothing but spaces and tabs, not quoted.
bool is_blank(const RowDraft& record, std::string_view raw) {
  if (record.field_count() != 1) return false;
  for (const char c : raw) {
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

// Counts the ill-formed bytes of a record, with the line each stands on.
void note_ill_formed(LineSample& sample, std::string_view raw, std::uint64_t line) {
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
class TracedSorter {
 public:
  TracedSorter(std::string_view data, const TracedOptions& options, TracedOutcome& out)
      : data_(data),
        options_(options),
        delimiter_text_(code_point_utf8(options.delimiter)),
        out_(out) {
    settle_quote_width();
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
    if ((options_.skip_blank_lines || header_due) && is_blank(record, raw)) {
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
      record.drop();
      --header_left_;
      out_.header_last_line = last;
      return;
    }

    ++out_.total_rows;
    const std::uint64_t n = record.field_count();
    if (!known_columns_) set_columns(n);
    const std::uint64_t c = columns_;
    bool repaired = quotes_read_as_text;
    if (c == 0 || n == c) {
      store(record, span, 0);
    } else if (n < c) {
      if (!options_.fill_ragged_rows)
        return quarantine(record, span, first, last, QuarantineReason::TooFewColumns);
      pad(record, span, first, last);
      repaired = true;
    } else if (record.empty_from(c)) {  // trailing delimiters: nothing to merge
      trim(record, span, first, last);
      repaired = true;
    } else {
      if (!options_.merge_overflow)
        return quarantine(record, span, first, last, QuarantineReason::ExtraColumns);
      merge(record, first, last);
      repaired = true;
    }
    ++out_.good_rows;
    if (repaired) ++out_.repaired_rows;
  }

 private:
  void settle_quote_width() {
    if (options_.header && !out_.has_header) {  // the header's own count is not known yet
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
    header_left_ = options_.header_rows > 1 ? options_.header_rows - 1 : 0;
    const std::uint64_t n = record.field_count();
    if (!known_columns_) set_columns(n);
    const std::uint64_t c = columns_;
    if (c == 0 || n == c) {
      store(record, span, 0);
    } else if (n < c) {
      pad(record, span, first, last);
    } else if (record.empty_from(c)) {
      trim(record, span, first, last);
    } else {
      merge(record, first, last);
    }
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
  const TracedOptions& options_;
  std::string delimiter_text_;
  std::uint64_t columns_ = 0;
  bool known_columns_ = false;
  std::uint64_t quote_width_ = 0;
  std::uint64_t header_left_ = 0;
  // A padded row is written whole: a width whose field slots alone exceed the address space is
  // refused before anything is allocated.
  std::uint64_t widest_ = (~std::uint64_t{0} >> 1) / sizeof(void*);
  TracedOutcome& out_;
};

}  // namespace

std::uint64_t ill_formed_bytes(std::string_view data) {
  LineSample sample;
  note_ill_formed(sample, data, 1);
  return sample.count;
}

bool traced_pass(std::string_view data, const TracedOptions& options, TracedOutcome& out,
                 const Progress& progress, std::uint64_t progress_step, const Batches& batches,
                 std::uint64_t batch_step) {
  out.rows = RowStore(data, options.delimiter, options.quote_char);
  TracedSorter sorter(data, options, out);
  if (options.expected_columns) {
    sorter.set_columns(*options.expected_columns);
  } else if (!options.header && !data.empty()) {
    // The count comes from the sampled records that hold something. When there were none (`""`,
    // an unterminated quote over blanks), the first row's width is the count, as a header's is:
    // rows of no count at all would leave a stream of batches without a width.
    if (const std::uint64_t n = infer_column_count(data, options.delimiter)) sorter.set_columns(n);
  }

  RecordTokenizer tokenizer(data, options.delimiter, options.quote_char, options.repair_quotes);
  TokenizerExtras extras;
  extras.reread_unterminated = options.reread_unterminated;
  extras.escape = options.escape;
  extras.long_quoted_lines = options.long_quoted_lines;
  extras.skip_initial_space = options.skip_initial_space;
  extras.literal_quotes = true;
  extras.quoted_cr_ends_line = true;
  tokenizer.set_extras(extras);
  tokenizer.set_line(options.first_line);
  RowDraft record(out.rows, data);
  record.set_legacy_cp1252(options.recode_cp1252);
  std::uint64_t next_report = progress_step;
  std::uint64_t next_batch = batch_step;
  std::uint64_t first = tokenizer.line();
  for (;;) {
    if (sorter.quote_width() != tokenizer.width()) tokenizer.set_width(sorter.quote_width());
    if (!tokenizer.next(record)) break;
    const RecordSpan& span = tokenizer.last_span();
    const std::uint64_t last = tokenizer.line() - (span.ended_with_break ? 1 : 0);
    sorter.sort(record, span, first, last);
    first = tokenizer.line();
    if (progress && tokenizer.position() >= next_report) {
      if (!progress(tokenizer.position())) return false;
      next_report = tokenizer.position() + progress_step;
    }
    if (batches && tokenizer.position() >= next_batch) {
      out.columns = sorter.columns();  // a streaming consumer sizes its columns from it
      if (!batches(std::move(out.rows))) return false;
      out.rows = RowStore(data, options.delimiter, options.quote_char);
      next_batch = tokenizer.position() + batch_step;
    }
  }
  out.columns = sorter.columns();
  out.end_line = tokenizer.line();
  QUORLE_CHECK(out.total_rows == out.good_rows + out.quarantine.size());
  QUORLE_CHECK(out.repaired_rows <= out.good_rows);
  out.rows.shrink_to_fit();
  return true;
}

}  // namespace quorle::engine
