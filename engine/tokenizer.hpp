// The record tokenizer: splits one in-memory buffer into records of fields, understands quoted
// fields, and with quote repair on decides for every lone quote inside a quoted field whether it
// closes the field or is a stray quote that belongs to the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/byte_scan.hpp"
#include "engine/check.hpp"
#include "engine/field_sinks.hpp"
#include "engine/quote_lookahead.hpp"
#include "engine/records.hpp"

namespace quorle::engine {

/// Where the last record lay in the input.
struct RecordSpan {
  std::uint64_t begin = 0;  ///< offset of its first byte
  std::uint64_t end = 0;    ///< offset just past its last field byte; a line break is not included
  bool ended_with_break = false;  ///< it ended by consuming a line break, not at the end of input
  /// Its bytes are exactly the clean output encoding of its fields (without the final LF), so a
  /// writer may copy them as they stand. Only known when the record was collected.
  bool verbatim = false;
};

class RecordTokenizer {
 public:
  RecordTokenizer(std::string_view data, std::uint8_t delimiter, std::uint8_t quote_char,
                  bool repair_quotes);

  /// The next record with its field texts, or none once the input is exhausted.
  std::optional<Row> next_record();

  /// The next record into a collector (field texts as input slices where possible) or a counter
  /// (field count only). False once the input is exhausted.
  bool next(FieldCollector& sink) { return scan<true>(sink); }
  bool next(FieldCounter& sink) { return scan<false>(sink); }

  std::uint64_t position() const { return pos_; }
  std::uint64_t line() const { return line_; }
  const RecordSpan& last_span() const { return span_; }

 private:
  enum class State : std::uint8_t { FieldStart, UnquotedField, QuotedField, AfterClosingQuote };

  template <bool kCollect, class Sink>
  bool scan(Sink& sink);

  // Consumes the line break at p (CR LF, LF or CR) and returns the offset after it.
  std::size_t consume_break(std::size_t p) const {
    if (data_[p] == '\r' && p + 1 < size_ && data_[p + 1] == '\n') return p + 2;
    return p + 1;
  }

  bool end_record(std::size_t next, std::size_t end, bool at_break) {
    pos_ = next;
    span_.end = end;
    span_.ended_with_break = at_break;
    if (at_break) ++line_;
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_;
  // The clean output writes a delimiter or quote of 0x80 and above as two bytes, so no record of
  // such a run is copied verbatim.
  bool verbatim_possible_;
  std::size_t pos_;
  std::uint64_t line_ = 1;
  RecordSpan span_;
  SpecialScanner scanner_;
  QuoteLookahead lookahead_;
};

// The state machine. Runs of ordinary bytes are skipped in bulk by the scanner; every special byte
// goes through the rules of its state, in their order.
template <bool kCollect, class Sink>
bool RecordTokenizer::scan(Sink& sink) {
  const std::uint8_t* const d = data_;
  const std::size_t n = size_;
  std::size_t p = pos_;
  if (p >= n) return false;

  sink.begin_record();
  span_.begin = p;
  bool verbatim = verbatim_possible_;
  if constexpr (kCollect) scanner_.mark(p);
  auto end_field = [&] { sink.end_field(kCollect && scanner_.high_seen()); };
  auto finish = [&](std::size_t next, std::size_t end, bool at_break) {
    bool valid_utf8 = true;
    if constexpr (kCollect) valid_utf8 = sink.valid_utf8();
    span_.verbatim = kCollect && verbatim && valid_utf8;
    return end_record(next, end, at_break);
  };

  State state = State::FieldStart;
  std::size_t run = 0;       // where the current contiguous piece of field text began
  bool needs_quote = false;  // the quoted field's text holds a quote, delimiter, CR or LF
  for (;;) {
    switch (state) {
      case State::FieldStart: {
        if (p >= n) {  // input ends right after a delimiter: a last, empty field
          end_field();
          return finish(n, n, false);
        }
        const std::uint8_t c = d[p];
        if (c == quote_) {  // opens a quoted field; the quote is not text
          ++p;
          run = p;
          needs_quote = false;
          state = State::QuotedField;
        } else if (c == delimiter_) {  // an empty field
          end_field();
          ++p;
        } else if (c == '\n' || c == '\r') {  // a line break ends the record with an empty field
          end_field();
          return finish(consume_break(p), p, true);
        } else {  // the first text byte, blanks included
          if constexpr (kCollect) scanner_.note(c);
          run = p;
          ++p;
          state = State::UnquotedField;
        }
        break;
      }

      case State::UnquotedField: {
        std::size_t s = scanner_.next(p);
        // A quote is ordinary text here: only the first byte of a field opens a quoted field. The
        // clean output would quote such a field, so the record is no longer verbatim.
        while (s < n && d[s] != delimiter_ && d[s] != '\n' && d[s] != '\r') {
          verbatim = false;
          s = scanner_.next(s + 1);
        }
        sink.piece(run, s - run);
        end_field();
        if (s >= n) return finish(n, n, false);
        if (d[s] == delimiter_) {
          p = s + 1;
          state = State::FieldStart;
          break;
        }
        return finish(consume_break(s), s, true);
      }

      case State::QuotedField: {
        std::size_t s = scanner_.next(p);
        for (;;) {
          if (s >= n) {  // unterminated: the field runs to the end of the input
            sink.piece(run, n - run);
            end_field();
            verbatim = false;
            return finish(n, n, false);
          }
          const std::uint8_t c = d[s];
          if (c != quote_) {  // delimiter, CR or LF: text; an LF inside quotes ends a line
            if (c == '\n') ++line_;
            needs_quote = true;
            s = scanner_.next(s + 1);
            continue;
          }
          bool closing;
          if (s + 1 == n) {
            closing = true;  // the last byte of the input
          } else if (d[s + 1] == quote_) {  // a doubled quote is one literal quote, always
            sink.piece(run, s + 1 - run);
            run = s + 2;
            needs_quote = true;
            s = scanner_.next(s + 2);
            continue;
          } else if (!repair_) {
            closing = true;
          } else {
            closing = lookahead_.closes(s);
          }
          if (!closing) {  // a stray quote stays in the text
            verbatim = false;
            needs_quote = true;
            s = scanner_.next(s + 1);
            continue;
          }
          sink.piece(run, s - run);
          // Output quotes the text only when it needs quoting; then the input form is the
          // output form unless something follows the closing quote.
          if (!needs_quote) verbatim = false;
          p = s + 1;
          state = State::AfterClosingQuote;
          break;
        }
        break;
      }

      case State::AfterClosingQuote: {
        if (p >= n) {
          end_field();
          return finish(n, n, false);
        }
        const std::uint8_t c = d[p];
        if (c == delimiter_) {  // tested first, so a tab or space delimiter ends the field
          end_field();
          ++p;
          state = State::FieldStart;
        } else if (c == ' ' || c == '\t') {  // blanks after a closing quote are dropped
          verbatim = false;
          ++p;
        } else if (c == '\n' || c == '\r') {
          end_field();
          return finish(consume_break(p), p, true);
        } else {  // text after the closing quote continues the same field
          if constexpr (kCollect) scanner_.note(c);
          verbatim = false;
          run = p;
          ++p;
          state = State::UnquotedField;
        }
        break;
      }
    }
  }
}

}  // namespace quorle::engine
