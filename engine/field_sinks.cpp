#include "engine/field_sinks.hpp"

#include <cstring>

namespace quorle::engine {

void FieldCollector::check_utf8(FieldText& f) {
  const std::string_view t = text(f);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.data());
  if (is_valid_utf8(bytes, t.size())) return;
  valid_utf8_ = false;
  std::string decoded;
  append_lossy_utf8(decoded, bytes, t.size());
  if (f.in_scratch) scratch_.resize(static_cast<std::size_t>(f.offset));
  f = {scratch_.size(), decoded.size(), true, f.plain};  // U+FFFD adds no special byte
  scratch_.append(decoded);
}

void FieldCollector::split_plain() const {
  std::size_t from = plain_begin_;
  for (;;) {
    const void* hit = from < plain_end_
                          ? std::memchr(input_ + from, plain_delimiter_, plain_end_ - from)
                          : nullptr;
    const std::size_t to = hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) -
                                                          input_)
                               : plain_end_;
    fields_.push_back({from, to - from, false, true});
    if (!hit) return;
    from = to + 1;
  }
}

}  // namespace quorle::engine
