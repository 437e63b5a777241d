#include "backend/options.hpp"

#include "backend/binding.hpp"
#include "rescue/rescue_file.hpp"

namespace quorle::pyext {
namespace {

bool one_ascii_byte(std::uint8_t b) {
  return b < 0x80 && b != '\r' && b != '\n';
}

}  // namespace

bool convert_repair_options(PyObject* const* slots, engine::RepairOptions& out) {
  std::optional<std::string_view> delimiter;
  if (!to_optional_text(slots[0], Name::delimiter, delimiter)) return false;
  if (delimiter && !delimiter->empty() &&
      !one_ascii_byte(static_cast<std::uint8_t>((*delimiter)[0]))) {
    raise_value_error(Name::delimiter, "delimiter must be an ASCII character other than CR or LF");
    return false;
  }
  std::string_view quote = "\"";
  if (slots[1] && !to_text(slots[1], Name::quote_char, quote)) return false;
  if (!quote.empty() && !one_ascii_byte(static_cast<std::uint8_t>(quote[0]))) {
    raise_value_error(Name::quote_char,
                      "quote_char must be an ASCII character other than CR or LF");
    return false;
  }
  engine::RepairOptions o;
  const auto quote_byte = static_cast<std::uint8_t>(quote.empty() ? '"' : quote[0]);
  if (delimiter && !delimiter->empty()) o.delimiter = static_cast<std::uint8_t>((*delimiter)[0]);
  if (o.delimiter == quote_byte) {
    raise_value_error(Name::quote_char, rescue::DELIMITER_IS_QUOTE);
    return false;
  }
  o.quote_char = quote_byte;
  if (slots[2] && !to_flag(slots[2], Name::fill_ragged_rows, o.fill_ragged_rows)) return false;
  if (slots[3] && !to_flag(slots[3], Name::merge_overflow, o.merge_overflow)) return false;
  if (!to_optional_count(slots[4], Name::expected_columns, o.expected_columns)) return false;
  if (slots[5] && !to_flag(slots[5], Name::repair_quotes, o.repair_quotes)) return false;
  out = o;
  return true;
}

}  // namespace quorle::pyext
