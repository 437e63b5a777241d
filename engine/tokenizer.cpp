#include "engine/tokenizer.hpp"

namespace quorle::engine {

namespace {

// Every pass over a buffer starts behind a leading UTF-8 byte-order mark.
std::size_t start_offset(std::string_view data) {
  return data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

}  // namespace

RecordTokenizer::RecordTokenizer(std::string_view data, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes)
    : data_(reinterpret_cast<const std::uint8_t*>(data.data())),
      size_(data.size()),
      delimiter_(delimiter),
      quote_(quote_char),
      repair_(repair_quotes),
      plain_possible_(delimiter < 0x80 && quote_char < 0x80 && delimiter != quote_char &&
                      delimiter != '\r' && delimiter != '\n' && quote_char != '\r' &&
                      quote_char != '\n'),
      pos_(start_offset(data)),
      scanner_(data_, size_, delimiter, quote_char),
      lookahead_(data_, size_, delimiter, quote_char) {}

// After the quoted field opening at dead_end_ ran to the end of the input, every quote byte behind
// it was judged doubled or stray. A later field opening at `open` meets the same quotes, paired
// the same way once past its own run of quote bytes (the byte before an opening quote is never a
// quote), so it runs to the end as well; only when that run has an even length is its last quote
// lone here though it was paired there, and that quote alone is judged afresh. So no stretch of
// input is scanned to its end twice.
bool RecordTokenizer::also_unterminated(std::size_t open) {
  std::size_t k = open + 1;
  while (k < size_ && data_[k] == quote_)
    ++k;
  if ((k - open) % 2 == 1) return true;
  const std::size_t lone = k - 1;
  if (lone + 1 == size_ || !repair_) return false;
  return !lookahead_.closes(lone);
}

// The same holds for a field that closed: a later field opening at `open` inside it meets the
// same quotes, paired the same way, once past its own run of quote bytes, and so closes at the
// same quote, with the same text after it. Unless its run reaches that quote (then it is paired
// differently), or has an even length and its last quote, lone here, closes the field.
bool RecordTokenizer::also_closes_at(std::size_t open, std::size_t close) {
  std::size_t k = open + 1;
  while (k < close && data_[k] == quote_)
    ++k;
  if (k == close) return false;
  if ((k - open) % 2 == 1) return true;
  return repair_ && !lookahead_.closes(k - 1);  // k < close: the lone quote is not the last byte
}

bool RecordTokenizer::known_as_text(std::size_t open, std::uint64_t fields) {
  if (extras_.reread_unterminated && open > dead_end_ && also_unterminated(open)) {
    ++span_.rereads;
    return true;
  }
  // The width rule for the record's first field spanning lines (spanned_ is kept only with a
  // width): the record after its close is known, so its count is.
  if (width_ != 0 && spanning_.open == NONE && spanned_.holds(open) &&
      spanned_.close_line > line_ && fields + 1 + spanned_.tail != width_ &&
      also_closes_at(open, spanned_.close) && fits_as_text(open)) {
    span_.stray_quote_lines = spanned_.end_line - record_line_ + 1;
    return true;
  }
  return false;
}

bool RecordTokenizer::fits_as_text(std::size_t open) {
  if (open == no_fit_) return false;
  // The record's first line ends at the first CR or LF after the quote (none lies before it).
  const std::uint8_t* from = data_ + open + 1;
  const void* lf = std::memchr(from, '\n', size_ - (open + 1));
  const std::size_t lf_at = lf ? static_cast<const std::uint8_t*>(lf) - data_ : size_;
  const void* cr = std::memchr(from, '\r', lf_at - (open + 1));
  const std::size_t line_end = cr ? static_cast<const std::uint8_t*>(cr) - data_ : lf_at;
  // The same rules on the input cut at the line's end: a quoted field that does not close on
  // the line runs to the cut and is read again there, which fails the fit.
  const std::string_view line(reinterpret_cast<const char*>(data_), line_end);
  RecordTokenizer trial(line, delimiter_, quote_, repair_);
  TokenizerExtras extras = extras_;
  extras.reread_unterminated = true;
  trial.set_extras(extras);
  trial.pos_ = span_.begin;
  trial.literal_open_ = open;
  FieldCounter counter(line);
  const bool fits =
      trial.next(counter) && trial.span_.rereads == 0 && counter.field_count() == width_;
  if (!fits) no_fit_ = open;
  return fits;
}

std::uint64_t RecordTokenizer::lone_crs(std::size_t from, std::size_t to) const {
  std::uint64_t n = 0;
  while (from < to) {
    const void* hit = std::memchr(data_ + from, '\r', to - from);
    if (!hit) break;
    const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data_);
    n += at + 1 == size_ || data_[at + 1] != '\n';
    from = at + 1;
  }
  return n;
}

std::optional<Row> RecordTokenizer::next_record() {
  const std::string_view input(reinterpret_cast<const char*>(data_), size_);
  FieldCollector fields(input);
  if (!next(fields)) return std::nullopt;
  Row row;
  row.reserve(fields.field_count());
  for (const FieldText& f : fields.fields())
    row.emplace_back(fields.text(f));
  return row;
}

}  // namespace quorle::engine
