#include "backend/options.hpp"

#include "pyboundary/arguments.hpp"
#include "rescue/rescue_file.hpp"

namespace quorle::pyext {
namespace {

bool one_ascii_byte(std::uint8_t b) {
  return b < 0x80 && b != '\r' && b != '\n';
}

}  // namespace

bool convert_repair_options(PyObject* const* slots, engine::RepairOptions& out) {
  std::optional<std::string_view> delimiter;
  if (!optional_text_argument(slots[0], "delimiter", delimiter)) return false;
  if (delimiter && !delimiter->empty() &&
      !one_ascii_byte(static_cast<std::uint8_t>((*delimiter)[0]))) {
    refuse_argument(PyExc_ValueError, "delimiter",
                    "delimiter must be an ASCII character other than CR or LF");
    return false;
  }
  std::string_view quote = "\"";
  if (!text_argument(slots[1], "quote_char", quote)) return false;
  if (!quote.empty() && !one_ascii_byte(static_cast<std::uint8_t>(quote[0]))) {
    refuse_argument(PyExc_ValueError, "quote_char",
                    "quote_char must be an ASCII character other than CR or LF");
    return false;
  }
  engine::RepairOptions o;
  const auto quote_byte = static_cast<std::uint8_t>(quote.empty() ? '"' : quote[0]);
  if (delimiter && !delimiter->empty()) o.delimiter = static_cast<std::uint8_t>((*delimiter)[0]);
  if (o.delimiter == quote_byte) {
    refuse_argument(PyExc_ValueError, "quote_char", rescue::DELIMITER_IS_QUOTE);
    return false;
  }
  o.quote_char = quote_byte;
  if (!flag_argument(slots[2], "fill_ragged_rows", o.fill_ragged_rows) ||
      !flag_argument(slots[3], "merge_overflow", o.merge_overflow) ||
      !optional_count_argument(slots[4], "expected_columns", o.expected_columns) ||
      !flag_argument(slots[5], "repair_quotes", o.repair_quotes)) {
    return false;
  }
  out = o;
  return true;
}

}  // namespace quorle::pyext
