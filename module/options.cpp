#include "module/options.hpp"

#include "module/binding.hpp"
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
  const char quote_byte = quote.empty() ? '"' : quote[0];
  if (delimiter && !delimiter->empty() && (*delimiter)[0] == quote_byte) {
    raise_value_error(Name::quote_char, "delimiter and quote_char must differ");
    return false;
  }
  bool fill = true, merge = true, repair = true;
  std::optional<std::uint64_t> columns;
  if (slots[2] && !to_flag(slots[2], Name::fill_ragged_rows, fill)) return false;
  if (slots[3] && !to_flag(slots[3], Name::merge_overflow, merge)) return false;
  if (!to_optional_count(slots[4], Name::expected_columns, columns)) return false;
  if (slots[5] && !to_flag(slots[5], Name::repair_quotes, repair)) return false;
  out = rescue::repair_options(delimiter, quote, fill, merge, columns, repair);
  return true;
}

}  // namespace quorle::pyext
