#include "engine/pipeline.hpp"

#include <unistd.h>

#include <cstring>

#include "engine/invariant.hpp"
#include "engine/column_count.hpp"
#include "engine/record_loop.hpp"
#include "engine/row_fit.hpp"
#include "engine/sniffer.hpp"
#include "engine/tokenizer.hpp"

namespace quorle::engine {
namespace {

// A padded row is handed out whole (a list of that many strings, or that many fields on one
// line), so a width whose field slots alone exceed the machine's memory is refused.
std::uint64_t widest_padded_row() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 32;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / sizeof(void*);
}

class RowSorter {
 public:
  RowSorter(std::string_view data, const RepairOptions& options, std::uint8_t delimiter,
            std::uint64_t columns, BufferOutcome& out)
      : data_(data),
        options_(options),
        delimiter_(delimiter),
        delimiter_text_(code_point_utf8(delimiter)),
        columns_(columns),
        rules_{options.fill_ragged_rows, options.merge_overflow, false},
        out_(out) {}

  // The hooks of read_records: no line passed over, every record sorted, none abandoned.
  static bool skip(const RecordTokenizer&, std::uint64_t) { return false; }
  static bool go_on(std::uint64_t) { return true; }
  void take(const FieldCollector& record, const RecordSpan& span, std::uint64_t,
            std::uint64_t last) {
    sort(record, span, last);
  }

  void sort(const FieldCollector& record, const RecordSpan& span, std::uint64_t line) {
    const std::uint64_t n = record.field_count();
    const std::uint64_t c = columns_;
    ++out_.total_rows;
    const RowFit fit = fit_row(n, c, rules_, [] { return false; });
    switch (fit) {
      case RowFit::AsIs: return store(out_.rows, record, span, 0);
      case RowFit::Padded:
        if (c > widest_padded_row_) throw ColumnCountTooLarge(c);
        store(out_.rows, record, span, c - n);
        ++out_.repaired_rows;
        return;
      case RowFit::Merged:
        store_merged(record, span);
        ++out_.repaired_rows;
        return;
      default: return quarantine(record, span, line, misfit_reason(fit));  // never Trimmed here
    }
  }

 private:
  void quarantine(const FieldCollector& record, const RecordSpan& span, std::uint64_t line,
                  QuarantineReason reason) {
    store(out_.quarantine_rows, record, span, 0);
    out_.quarantine_marks.push_back({line, reason});
  }

  static void store(RowStore& to, const FieldCollector& record, const RecordSpan& span,
                    std::uint64_t padding) {
    if (span.verbatim) {
      return to.add_verbatim(span.begin, span.end - span.begin, padding, span.quote_free,
                             span.ascii);
    }
    to.begin_row(record.field_count(), padding);
    for (const FieldText& f : record.fields())
      add_field(to, record, f);
  }

  static void add_field(RowStore& to, const FieldCollector& record, const FieldText& f) {
    if (f.in_scratch) {
      to.add_text_field(record.text(f), f.plain);
    } else {
      to.add_input_field(f.offset, f.length, f.plain);
    }
  }

  // Fields from the last column on become one, joined by the delimiter text.
  void store_merged(const FieldCollector& record, const RecordSpan& span) {
    const std::uint64_t c = columns_;
    const auto& fields = record.fields();
    RowStore& to = out_.rows;
    to.begin_row(c, 0);
    for (std::uint64_t i = 0; i + 1 < c; ++i)
      add_field(to, record, fields[i]);
    std::uint64_t tail_begin;
    if (span.verbatim && plain_tail(span, fields.size() - c + 1, tail_begin)) {
      to.add_input_field(tail_begin, span.end - tail_begin);
      return;
    }
    to.begin_text();
    for (std::size_t i = c - 1; i < fields.size(); ++i) {
      if (i != c - 1) to.append_text(delimiter_text_);
      to.append_text(record.text(fields[i]));
    }
    to.end_text();
  }

  // Whether the last `count` fields of a verbatim record are plain (unquoted) input joined by
  // single delimiters, so that their merged text is the input itself; finds where they begin.
  bool plain_tail(const RecordSpan& span, std::uint64_t count, std::uint64_t& begin) const {
    const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
    std::uint64_t delimiters = 0;
    for (std::uint64_t k = span.end; k-- > span.begin;) {
      if (d[k] == options_.quote_char) return false;
      if (d[k] == delimiter_ && ++delimiters == count) {
        begin = k + 1;
        return true;
      }
    }
    if (delimiters + 1 != count) return false;
    begin = span.begin;
    return true;
  }

  std::string_view data_;
  const RepairOptions& options_;
  std::uint8_t delimiter_;
  std::string delimiter_text_;
  std::uint64_t columns_;
  FitRules rules_;
  std::uint64_t widest_padded_row_ = widest_padded_row();
  BufferOutcome& out_;
};

}  // namespace

std::string code_point_utf8(std::uint8_t byte) {
  if (byte < 0x80) return std::string(1, static_cast<char>(byte));
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

BufferOutcome process_buffer(std::string_view data, const RepairOptions& options) {
  BufferOutcome out;
  if (data.empty()) return out;

  const std::uint8_t delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(data);
  const std::uint64_t columns =
      options.expected_columns ? *options.expected_columns : infer_column_count(data, delimiter);
  out.rows = RowStore(data, delimiter, options.quote_char);
  out.quarantine_rows = RowStore(data, delimiter, options.quote_char);

  RecordTokenizer tokenizer(data, delimiter, options.quote_char, options.repair_quotes);
  FieldCollector record(data);
  RowSorter sorter(data, options, delimiter, columns, out);
  read_records(tokenizer, record, sorter);

  out.quorled_rows = out.rows.size();
  out.quarantined_rows = out.quarantine_rows.size();
  out.inferred_columns = columns;
  out.delimiter = delimiter;
  QUORLE_CHECK(out.total_rows == out.quorled_rows + out.quarantined_rows);
  QUORLE_CHECK(out.repaired_rows <= out.quorled_rows);
  out.rows.shrink_to_fit();
  out.quarantine_rows.shrink_to_fit();
  return out;
}

}  // namespace quorle::engine
