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
