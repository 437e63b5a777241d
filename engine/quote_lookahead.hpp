// The closing-quote test: whether a lone quote inside a quoted field closes the field or is a stray
// quote that belongs to the text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorle::engine {

/// A lone quote at offset p is stray exactly when no field end (after optional blanks: the
/// delimiter, CR, LF or the end of the input) follows it, while some later quote on the same
/// physical line is followed by one. Scanning the rest of the line for every lone quote would cost
/// quadratic time on a line such as `"x"x"x…`, so the answer for a line is kept: the last quote on
/// the line that is followed by a field end. Offsets must be asked in increasing order.
class QuoteLookahead {
 public:
  QuoteLookahead(const std::uint8_t* data, std::size_t size, std::uint8_t delimiter,
                 std::uint8_t quote)
      : data_(data), size_(size), delimiter_(delimiter), quote_(quote) {}

  /// The test for the quote at p, whose next byte exists and is not a quote.
  bool closes(std::size_t p) {
    if (field_end_follows(p)) return true;
    if (p >= line_end_ || p < line_from_) scan_line(p);
    return !(has_last_good_ && last_good_ > p);
  }

  /// Whether, after optional blanks, the bytes behind offset p end a field. The delimiter is
  /// tested before a byte counts as a blank, so a tab or space delimiter ends the field.
  bool field_end_follows(std::size_t p) const {
    std::size_t k = p + 1;
    while (k < size_ && data_[k] != delimiter_ && (data_[k] == ' ' || data_[k] == '\t'))
      ++k;
    return k == size_ || data_[k] == delimiter_ || data_[k] == '\r' || data_[k] == '\n';
  }

 private:
  void scan_line(std::size_t p);

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  // The physical line known so far: offsets [line_from_, line_end_) with line_end_ at its CR, LF
  // or the end of the input, and the last quote in (line_from_, line_end_) followed by a field end.
  std::size_t line_from_ = 0;
  std::size_t line_end_ = 0;
  std::size_t last_good_ = 0;
  bool has_last_good_ = false;
};

}  // namespace quorle::engine
