#include "engine/quote_lookahead.hpp"

#include <cstring>

namespace quorle::engine {

void QuoteLookahead::scan_line(std::size_t p) {
  // The line ends at the first CR or LF after p. Looking for LF first bounds the CR search.
  const std::uint8_t* from = data_ + p + 1;
  const std::size_t rest = size_ - (p + 1);
  const void* lf = std::memchr(from, '\n', rest);
  const std::size_t lf_at = lf ? static_cast<const std::uint8_t*>(lf) - data_ : size_;
  const void* cr = std::memchr(from, '\r', lf_at - (p + 1));
  line_end_ = cr ? static_cast<const std::uint8_t*>(cr) - data_ : lf_at;
  line_from_ = p;
  has_last_good_ = false;

  // Walk the line backwards, carrying whether the first byte that is not a blank (or is the
  // delimiter) at or after k+1 ends a field. The line end itself does.
  bool end_follows = true;
  for (std::size_t k = line_end_; k-- > p + 1;) {
    const std::uint8_t c = data_[k];
    if (c == quote_ && end_follows) {
      last_good_ = k;
      has_last_good_ = true;
      return;
    }
    if (c == delimiter_) {
      end_follows = true;
    } else if (c != ' ' && c != '\t') {
      end_follows = false;  // no CR or LF lies inside the line
    }
  }
}

}  // namespace quorle::engine
