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
