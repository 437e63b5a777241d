// The record tokenizer: splits one in-memory buffer into records of fields, understands quoted
// fields, and with quote repair on decides for every lone quote inside a quoted field whether it
// closes the field or is a stray quote that belongs to the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "engine/block_scanner.hpp"
#include "engine/invariant.hpp"
#include "engine/field_sinks.hpp"
#include "engine/quote_lookahead.hpp"
#include "engine/records.hpp"

namespace quorle::engine {

class RowDraft;

/// Where the last record lay in the input.
struct RecordSpan {
  std::uint64_t begin = 0;  ///< offset of its first byte
  std::uint64_t end = 0;    ///< offset just past its last field byte; a line break is not included
  bool ended_with_break = false;  ///< it ended by consuming a line break, not at the end of input
  /// Its bytes are exactly the clean output encoding of its fields (without the final LF), so a
  /// writer may copy them as they stand. Only known when the record was collected.
  bool verbatim = false;
  bool quote_free = false;  ///< it holds no quote byte: its fields are the runs between delimiters
  bool ascii = false;       ///< all its bytes are below 0x80
  /// With TokenizerExtras: unterminated quoted fields that were read again as unquoted text.
  std::uint32_t rereads = 0;
  /// With TokenizerExtras::literal_quotes: quoted fields with text after their closing quote,
  /// kept as text.
  std::uint32_t literal_quotes = 0;
  /// With TokenizerExtras: the first line of its first quoted field spanning more than
  /// LONG_QUOTED_LINES line breaks; 0 when none did.
  std::uint64_t long_quote_line = 0;
  /// With a width (set_width): the record was read again with the opening quote of its first
  /// field spanning lines as text. The lines the quoted reading ran over; 0 when not read again.
  std::uint64_t stray_quote_lines = 0;
};

/// Rules beyond the backend's, all off by default.
struct TokenizerExtras {
  /// A quoted field still open at the end of the input is read again from its opening quote,
  /// with that quote as text, so that the records after it come back.
  bool reread_unterminated = false;
  /// Inside a quoted field this byte makes the next byte text; -1: none.
  int escape = -1;
  /// Note quoted fields spanning more line breaks than this in RecordSpan::long_quote_line.
  std::uint64_t long_quoted_lines = ~std::uint64_t{0};
  /// Spaces after a delimiter are not text (a comma followed by a space). With the space as the
  /// delimiter, columns aligned with spaces: a run of spaces is one delimiter, the spaces that
  /// indent a line are no field and those ending it no empty field.
  bool skip_initial_space = false;
  /// A U+FEFF opening the input is text, not a byte-order mark: the caller took the file's mark
  /// off already, and a second one is a character of the first field.
  bool leading_mark_is_text = false;
  /// A quoted field whose closing quote is followed by more text (`"ANTON" GmbH`) held no
  /// quoting: its text is every byte from its opening quote through its closing quote as the
  /// input has them, then the text after it up to the delimiter or line end. The quoted section
  /// stays whole, so the field is not split at a delimiter inside it and the record ends where
  /// the quoted reading ends it. Blanks followed by the delimiter or the line end are no such
  /// text: they are dropped as before.
  bool literal_quotes = false;
  /// A lone CR inside a quoted field ends a line, as it does outside one (line numbers only).
  bool quoted_cr_ends_line = false;
};

/// Whether a record's bytes are the writer's own encoding of its fields, so that the writer may
/// copy them as they stand. The scan reports each place where the writer would write otherwise.
class VerbatimRecord {
 public:
  /// Only a record whose delimiter and quote the writer writes as the same single bytes.
  explicit VerbatimRecord(bool possible) : verbatim_(possible) {}

  /// The writer quotes an unquoted field that holds a quote byte.
  void quote_in_unquoted_field() { verbatim_ = false; }
  /// The writer closes a quoted field that the input leaves open.
  void unterminated_quoted_field() { verbatim_ = false; }
  /// The writer doubles a stray quote inside a quoted field.
  void stray_quote() { verbatim_ = false; }
  /// The writer quotes a field only when its text holds a quote, delimiter, CR or LF.
  void quoted_field_closed(bool text_needs_quotes) {
    if (!text_needs_quotes) verbatim_ = false;
  }
  /// The writer drops the blanks after a closing quote.
  void blank_after_closing_quote() { verbatim_ = false; }
  /// The writer quotes the whole of a field that goes on after its closing quote.
  void text_after_closing_quote() { verbatim_ = false; }
  /// An unterminated quoted field read again as text: the writer quotes it and doubles the quote.
  void reread_as_text() { verbatim_ = false; }
  /// The writer drops the escape bytes of a quoted field.
  void escape_dropped() { verbatim_ = false; }

  /// The verdict at the end of the record: the writer also replaces ill-formed UTF-8.
  bool result(bool valid_utf8) const { return verbatim_ && valid_utf8; }

 private:
  bool verbatim_;
};

class RecordTokenizer {
 public:
  RecordTokenizer(std::string_view data, std::uint8_t delimiter, std::uint8_t quote_char,
                  bool repair_quotes);

  /// The next record with its field texts, or none once the input is exhausted.
  std::optional<Row> next_record();

  /// The next record into a collector (field texts as input slices where possible) or a counter
  /// (field count only). False once the input is exhausted.
  bool next(FieldCollector& sink) { return read<true>(sink); }
  bool next(FieldCounter& sink) { return read<false>(sink); }
  /// The next record into a row store's draft (row_draft.hpp).
  bool next(RowDraft& sink);

  /// Turns on rules beyond the backend's; call before the first record.
  void set_extras(const TokenizerExtras& extras) {
    extras_ = extras;
    quote_rules_ = extras.literal_quotes || extras.quoted_cr_ends_line;
    // Skipped spaces are no text: fields are no longer the plain runs between delimiters.
    if (extras.skip_initial_space) plain_possible_ = false;
    if (extras.leading_mark_is_text) pos_ = 0;
  }

  /// Numbers lines from `line` on, for data that is a part of a file; call before the first record.
  void set_line(std::uint64_t line) { line_ = line; }

  /// Reads from `offset`, a record's start, on (a leading mark there is text): for a pass over a
  /// part of the input; call before the first record.
  void start_at(std::size_t offset) {
    QUORLE_CHECK(offset <= size_);
    pos_ = offset;
  }

  /// The column count the next records should have; 0: none. A record whose first quoted field
  /// that spans lines leaves it with another count is read again with that field's opening
  /// quote as text, when the record then ends on its first line with exactly this count: one
  /// stray quote must not merge the lines after it into one record. Lines are the package's
  /// (TokenizerExtras::quoted_cr_ends_line on).
  void set_width(std::uint64_t width) {
    QUORLE_CHECK(width == 0 || extras_.quoted_cr_ends_line);
    width_ = width;
  }
  std::uint64_t width() const { return width_; }

  std::uint64_t position() const { return pos_; }
  std::uint64_t line() const { return line_; }
  const RecordSpan& last_span() const { return span_; }

  /// Passes over the line at the current position, its line break included, without reading it
  /// as a record (a comment line: its quotes open nothing). Returns where its text ends.
  std::size_t skip_line() {
    std::size_t p = pos_;
    while (p < size_ && data_[p] != '\n' && data_[p] != '\r')
      ++p;
    span_.begin = pos_;
    if (p >= size_) {
      end_record(size_, size_, false);
    } else {
      end_record(consume_break(p), p, true);
    }
    return p;
  }

 private:
  enum class State : std::uint8_t { FieldStart, UnquotedField, QuotedField, AfterClosingQuote };
  // With the re-read on, a quoted field hands its text over piece by piece up to this far from
  // its opening quote, and only at its closing quote beyond (see QuotedField).
  static constexpr std::size_t EAGER_TEXT = std::size_t{1} << 20;

  // One record. kQuoteRules: with the package's quote rules (text after a closing quote, CR
  // lines, the width); without them the backend's scan does not test for them at all.
  template <bool kCollect, bool kQuoteRules, class Sink>
  bool scan(Sink& sink);
  // A record, read again when the width rule says so.
  template <bool kCollect, class Sink>
  bool read(Sink& sink) {
    if (!quote_rules_) return scan<kCollect, false>(sink);
    if (!scan<kCollect, true>(sink)) return false;
    if (spanning_.open != NONE) [[unlikely]]
      end_spanning_record<kCollect>(sink);
    return true;
  }

  // Consumes the line break at p (CR LF, LF or CR) and returns the offset after it.
  std::size_t consume_break(std::size_t p) const {
    if (data_[p] == '\r' && p + 1 < size_ && data_[p + 1] == '\n') return p + 2;
    return p + 1;
  }

  static constexpr std::size_t NONE = ~std::size_t{0};

  // Whether a quoted field opening at `open`, after the field opening at dead_end_ ran to the
  // end of the input, runs to the end too (see tokenizer.cpp).
  bool also_unterminated(std::size_t open);
  // Whether a quoted field opening at `open`, inside a quoted field that opened before it and
  // closed at `close`, closes at `close` too (see tokenizer.cpp).
  bool also_closes_at(std::size_t open, std::size_t close);
  // Whether the quoted field opening at `open` after `fields` fields is read as text, known
  // without scanning it: it runs to the end like one before it (a re-read), or closes where one
  // before it did in a record that does not fit the width. Counts it.
  bool known_as_text(std::size_t open, std::uint64_t fields);
  // Whether the record read again from its start with the quote at `open` as text ends on the
  // line it starts on, every quoted field in it closed there, with width_ fields.
  bool fits_as_text(std::size_t open);
  // Lone CR bytes in [from, to): line breaks inside a quoted field.
  std::uint64_t lone_crs(std::size_t from, std::size_t to) const;
  // After a record whose first quoted field spanning lines (spanning_) closed: keeps what the
  // record held after that field, and reads the record again with the field's opening quote as
  // text when that fits the width.
  template <bool kCollect, class Sink>
  [[gnu::cold, gnu::noinline]] void end_spanning_record(Sink& sink);
  // Escapes in [from, to) of a quoted field: each is dropped and the byte after it becomes text;
  // with kEmit the text between them goes to the sink. True when the byte at `to` is escaped.
  template <bool kEmit, class Sink>
  bool drop_escapes(Sink& sink, std::size_t from, std::size_t to, std::size_t& run);
  // The pieces of the quoted text [from, to) found again, as the scan found them: each escape
  // dropped and the byte after it kept, each doubled quote made one, lone quotes kept.
  template <class Sink>
  void replay_pieces(Sink& sink, std::size_t from, std::size_t to);

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
  // The clean output writes a delimiter or quote of 0x80 and above as two bytes, and a record of
  // such a run is never its own encoding; the same goes for bytes that collide. Without those,
  // a record with no quote byte is plain text: fields between delimiters, copied verbatim.
  bool plain_possible_;
  std::size_t pos_;
  std::uint64_t line_ = 1;
  RecordSpan span_;
  BlockScanner scanner_;
  QuoteLookahead lookahead_;
  TokenizerExtras extras_;
  bool quote_rules_ = false;  // literal_quotes or quoted_cr_ends_line
  std::size_t dead_end_ = ~std::size_t{0};  // opening of a quoted field that ran to the end

  // The width rule (set_width).
  std::uint64_t width_ = 0;
  std::uint64_t record_line_ = 1;  // the line the record began on
  std::size_t literal_open_ = NONE;  // a quote at a field start read as text: the record's re-read
  std::size_t no_fit_ = NONE;        // an opening quote whose text reading was tried and failed
  // The record's first quoted field that spanned lines and closed.
  struct SpanningField {
    std::size_t open = NONE;
    std::size_t close = 0;
    std::uint64_t close_line = 0;
    std::uint64_t fields_before = 0;
  } spanning_;
  // What a scan found out about a stretch of input, so that no stretch is scanned again for every
  // field that opens inside it (see also_closes_at): a field from `from` spanning lines closed at
  // `close`, its record wider or narrower than width_.
  struct SpannedRecord {
    std::size_t from = NONE;
    std::size_t close = 0;
    std::uint64_t close_line = 0;  // the line of `close`
    std::uint64_t end_line = 0;    // the record's last line
    std::uint64_t tail = 0;        // fields of the record after the field
    bool holds(std::size_t open) const { return from != NONE && open > from && open < close; }
  } spanned_;
  std::size_t memo_end_ = 0;  // the furthest `close`: no field opens inside a stretch after it
};

// The state machine. Runs of ordinary bytes are skipped in bulk by the scanner; every special byte
// goes through the rules of its state, in their order.
template <bool kCollect, bool kQuoteRules, class Sink>
bool RecordTokenizer::scan(Sink& sink) {
  const std::uint8_t* const d = data_;
  const std::size_t n = size_;
  const std::uint8_t delimiter = delimiter_;
  const std::uint8_t quote = quote_;
  std::size_t p = pos_;
  if (p >= n) return false;

  sink.begin_record();
  span_.begin = p;
  span_.rereads = 0;
  span_.long_quote_line = 0;
  if constexpr (kQuoteRules) {
    span_.literal_quotes = 0;
    span_.stray_quote_lines = 0;
  }
  BlockScanner& scanner = scanner_;

  // Most records hold no quote byte: then every rule but the line break and the delimiter is
  // moot, and the fields are simply the runs between delimiters.
  if (plain_possible_) {
    PlainRun run;
    if (scanner.plain_run(p, run) &&
        (!kCollect || !run.high || is_valid_utf8(d + p, run.end - p))) {
      sink.plain_record(p, run.end, run.delimiters + 1, delimiter);
      span_.verbatim = kCollect;
      span_.quote_free = true;
      span_.ascii = !run.high;
      if (run.end >= n) return end_record(n, n, false);
      return end_record(consume_break(run.end), run.end, true);
    }
  }

  if constexpr (kQuoteRules) record_line_ = line_;  // spanning_ is none: read() leaves it so
  const std::size_t literal_open = kQuoteRules ? literal_open_ : NONE;
  if constexpr (kCollect) scanner.clear_high_passed(p);
  auto maybe_high = [&] { return kCollect && scanner.high_passed(); };
  VerbatimRecord verbatim(kCollect && plain_possible_);
  auto finish = [&](std::size_t next, std::size_t end, bool at_break) {
    sink.end_record(span_.begin, end, delimiter < 0x80 && quote < 0x80);
    bool valid_utf8 = true;
    if constexpr (kCollect) valid_utf8 = sink.valid_utf8();
    span_.verbatim = kCollect && verbatim.result(valid_utf8);  // the counter never asks
    span_.quote_free = false;
    span_.ascii = kCollect && !scanner.high_passed();
    return end_record(next, end, at_break);
  };

  State state = State::FieldStart;
  std::size_t run = 0;         // where the current contiguous piece of field text began
  bool continued = false;      // the field already holds text from before a closing quote
  bool quote_in_text = false;  // the unquoted field holds an ordinary quote
  bool needs_quote = false;    // the quoted field's text holds a quote, delimiter, CR or LF
  std::size_t open = 0;        // the last quoted field's opening quote and its line
  std::uint64_t open_line = 0;
  for (;;) {
    switch (state) {
      case State::FieldStart: {
        if (extras_.skip_initial_space && (delimiter == ' ' || p > span_.begin)) {
          const bool after_delimiter = p > span_.begin;
          while (p < n && d[p] == ' ')
            ++p;
          if (delimiter == ' ' && after_delimiter && (p >= n || d[p] == '\n' || d[p] == '\r')) {
            if (p >= n) return finish(n, n, false);  // spaces ending a line add no field
            return finish(consume_break(p), p, true);
          }
        }
        if (p >= n) {  // input ends right after a delimiter: a last, empty field
          sink.field(n, 0, false, true);
          return finish(n, n, false);
        }
        const std::uint8_t c = d[p];
        if (c == quote) {
          if (kQuoteRules && p == literal_open) {  // a stray opening quote read as text
            verbatim.quote_in_unquoted_field();
            run = p;
            continued = false;
            quote_in_text = true;
            ++p;
            state = State::UnquotedField;
            break;
          }
          ++p;  // opens a quoted field; the quote is not text
          run = p;
          needs_quote = false;
          state = State::QuotedField;
        } else if (c == delimiter) {  // an empty field
          sink.field(p, 0, false, true);
          ++p;
        } else if (c == '\n' || c == '\r') {  // a line break ends the record with an empty field
          sink.field(p, 0, false, true);
          return finish(consume_break(p), p, true);
        } else {  // the first text byte, blanks included
          if constexpr (kCollect) scanner.note(c);
          run = p;
          continued = false;
          quote_in_text = false;
          ++p;
          state = State::UnquotedField;
        }
        break;
      }

      case State::UnquotedField: {
        std::size_t s;
        if (plain_possible_ && !continued) {
          // Up to the next quote, CR or LF every delimiter ends a plain field: they go in bulk.
          std::size_t open = run;
          s = scanner.plain_fields(p, open, [&](std::size_t start, std::size_t length) {
            // The first field may be the one that already held an ordinary quote.
            sink.field(start, length, maybe_high(), !quote_in_text);
            quote_in_text = false;
          });
          run = open;
          if (s < n && d[s] == quote) {
            if (s == run && (!kQuoteRules || s != literal_open)) {  // a quoted field opens
              p = s + 1;
              run = p;
              needs_quote = false;
              state = State::QuotedField;
              break;
            }
            // Inside unquoted text a quote is ordinary.
            verbatim.quote_in_unquoted_field();
            quote_in_text = true;
            p = s + 1;
            break;
          }
        } else {
          s = scanner.next_special(p);
          while (s < n && d[s] != delimiter && d[s] != '\n' && d[s] != '\r') {
            verbatim.quote_in_unquoted_field();  // ordinary text here, as above
            quote_in_text = true;
            s = scanner.next_special(s + 1);
          }
        }
        if (continued) {
          sink.piece(run, s - run);
          sink.end_field(maybe_high(), false);
        } else {
          sink.field(run, s - run, maybe_high(), plain_possible_ && !quote_in_text);
        }
        if (s >= n) return finish(n, n, false);
        if (d[s] == delimiter) {
          p = s + 1;
          state = State::FieldStart;
          break;
        }
        return finish(consume_break(s), s, true);
      }

      case State::QuotedField: {
        std::size_t from = p;
        open = run - 1;
        open_line = line_;
        // With the re-read on, a field that may yet run to the end of the input hands over no
        // text before its closing quote once it is long: its pieces could be a copy of the rest
        // of the input. `split` notes doubled quotes or escapes, whose pieces are then found
        // again at the close.
        bool defer = false;
        bool split = false;
        // Read the field again as text from its opening quote on.
        auto read_as_text = [&] {
          line_ = open_line;
          sink.discard_field();
          verbatim.reread_as_text();
          run = open;
          p = open + 1;
          continued = false;
          quote_in_text = true;
          state = State::UnquotedField;
        };
        // Inside a stretch scanned before, what the scan would find may be known already.
        if (open > dead_end_ || (kQuoteRules && open < memo_end_)) [[unlikely]] {
          if (known_as_text(open, sink.field_count())) {
            read_as_text();
            break;
          }
        }
        for (;;) {
          std::uint64_t lf_passed = 0;
          bool special_passed = false;
          bool cr_passed = false;
          const std::size_t s = scanner.next_quote(from, lf_passed, special_passed, cr_passed);
          // Delimiters, CR and LF are text here; an LF inside quotes ends a line, and for the
          // package a lone CR too.
          line_ += lf_passed;
          if (kQuoteRules && cr_passed && extras_.quoted_cr_ends_line)
            line_ += lone_crs(from, s < n ? s : n);
          needs_quote |= special_passed;
          if (!defer && extras_.reread_unterminated && s - open > EAGER_TEXT) {
            sink.discard_field();  // the pieces handed over so far come again at the close
            defer = true;
          }
          if (extras_.escape >= 0) {
            const std::size_t before = run;
            const bool escaped_quote = defer ? drop_escapes<false>(sink, from, s, run)
                                             : drop_escapes<true>(sink, from, s, run);
            // Any dropped escape makes the field's text differ from its input bytes.
            if (run != before) {
              verbatim.escape_dropped();
              split = true;
            }
            if (escaped_quote) {
              needs_quote = true;
              from = s + 1;
              continue;
            }
          }
          if (s >= n && extras_.reread_unterminated) {  // unterminated: read again
            if (dead_end_ > open) dead_end_ = open;
            ++span_.rereads;
            read_as_text();
            break;
          }
          if (s >= n) {  // unterminated: the field runs to the end of the input
            sink.piece(run, n - run);
            sink.end_field(maybe_high(), false);
            verbatim.unterminated_quoted_field();
            return finish(n, n, false);
          }
          bool closing;
          if (s + 1 == n) {
            closing = true;                // the last byte of the input
          } else if (d[s + 1] == quote) {  // a doubled quote is one literal quote, always
            if (!defer) sink.piece(run, s + 1 - run);
            split = true;
            run = s + 2;
            needs_quote = true;
            from = s + 2;
            continue;
          } else if (!repair_) {
            closing = true;
          } else {
            closing = lookahead_.closes(s);
          }
          if (!closing) {  // a stray quote stays in the text
            verbatim.stray_quote();
            needs_quote = true;
            from = s + 1;
            continue;
          }
          if (defer && split) {
            replay_pieces(sink, open + 1, s);
          } else {
            sink.piece(run, s - run);  // unsplit, the text is one run from the opening quote on
          }
          if (line_ - open_line > extras_.long_quoted_lines && span_.long_quote_line == 0)
            span_.long_quote_line = open_line;
          if (kQuoteRules && line_ != open_line && width_ != 0 && spanning_.open == NONE)
            spanning_ = {open, s, line_, sink.field_count()};
          verbatim.quoted_field_closed(needs_quote);
          p = s + 1;
          state = State::AfterClosingQuote;
          break;
        }
        break;
      }

      case State::AfterClosingQuote: {
        const bool plain = plain_possible_ && !needs_quote;
        if (p >= n) {
          sink.end_field(maybe_high(), plain);
          return finish(n, n, false);
        }
        const std::uint8_t c = d[p];
        if (c == delimiter) {  // tested first, so a tab or space delimiter ends the field
          sink.end_field(maybe_high(), plain);
          ++p;
          state = State::FieldStart;
        } else if (c == ' ' || c == '\t') {  // blanks after a closing quote are dropped
          verbatim.blank_after_closing_quote();
          ++p;
        } else if (c == '\n' || c == '\r') {
          sink.end_field(maybe_high(), plain);
          return finish(consume_break(p), p, true);
        } else if (kQuoteRules && extras_.literal_quotes) {  // text after a closing quote
          // The quotes are text: the field is its input bytes from the opening quote on, up to
          // the next delimiter or line break. The quoted section's line breaks stay counted, and
          // the scan goes on from here: nothing is read twice.
          ++span_.literal_quotes;
          sink.discard_field();
          verbatim.quote_in_unquoted_field();
          if constexpr (kCollect) scanner.note(c);
          run = open;
          continued = false;
          quote_in_text = true;
          ++p;
          state = State::UnquotedField;
        } else {  // text after the closing quote continues the same field
          if constexpr (kCollect) scanner.note(c);
          verbatim.text_after_closing_quote();
          run = p;
          continued = true;
          ++p;
          state = State::UnquotedField;
        }
        break;
      }
    }
  }
}

template <bool kCollect, class Sink>
void RecordTokenizer::end_spanning_record(Sink& sink) {
  const std::uint64_t count = sink.field_count();
  const std::uint64_t last = line_ - (span_.ended_with_break ? 1 : 0);
  if (!spanned_.holds(spanning_.open)) {
    spanned_.from = spanning_.open;
    spanned_.close = spanning_.close;
    spanned_.close_line = spanning_.close_line;
    spanned_.end_line = last;
    spanned_.tail = count - spanning_.fields_before - 1;
    if (memo_end_ < spanned_.close) memo_end_ = spanned_.close;
  }
  const std::size_t open = spanning_.open;
  spanning_.open = NONE;
  if (count == width_ || !fits_as_text(open)) return;
  sink.discard_record();
  pos_ = span_.begin;
  line_ = record_line_;
  literal_open_ = open;
  scan<kCollect, true>(sink);  // ends on the record's first line: no field in it spans lines
  literal_open_ = NONE;
  spanning_.open = NONE;
  span_.stray_quote_lines = last - record_line_ + 1;
}

template <bool kEmit, class Sink>
bool RecordTokenizer::drop_escapes(Sink& sink, std::size_t from, std::size_t to, std::size_t& run) {
  const auto* hit =
      static_cast<const std::uint8_t*>(std::memchr(data_ + from, extras_.escape, to - from));
  while (hit) {
    const auto e = static_cast<std::size_t>(hit - data_);
    if constexpr (kEmit) sink.piece(run, e - run);
    run = e + 1;  // the escaped byte starts the next piece of text
    if (e + 1 >= to) return e + 1 == to && to < size_;
    hit = static_cast<const std::uint8_t*>(std::memchr(data_ + e + 2, extras_.escape, to - e - 2));
  }
  return false;
}

template <class Sink>
void RecordTokenizer::replay_pieces(Sink& sink, std::size_t from, std::size_t to) {
  const std::uint8_t* const d = data_;
  const std::uint8_t quote = quote_;
  std::size_t run = from;
  if (extras_.escape < 0) {  // only doubled quotes split the text: jump from quote to quote
    for (std::size_t i = from; i < to;) {
      const void* hit = std::memchr(d + i, quote, to - i);
      if (!hit) break;
      const auto q = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - d);
      if (q + 1 < to && d[q + 1] == quote) {
        sink.piece(run, q + 1 - run);
        run = q + 2;
        i = q + 2;
      } else {
        i = q + 1;  // a lone quote stays in the text
      }
    }
  } else {
    const auto escape = static_cast<std::uint8_t>(extras_.escape);
    for (std::size_t i = from; i < to;) {
      if (d[i] == escape) {
        sink.piece(run, i - run);
        run = i + 1;
        i += 2;
      } else if (d[i] == quote && i + 1 < to && d[i + 1] == quote) {
        sink.piece(run, i + 1 - run);
        run = i + 2;
        i += 2;
      } else {
        ++i;
      }
    }
  }
  if (run < to) sink.piece(run, to - run);
}

}  // namespace quorle::engine
