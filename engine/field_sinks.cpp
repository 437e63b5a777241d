#include "engine/field_sinks.hpp"

#include "engine/legacy_bytes.hpp"
#include "engine/row_store.hpp"

#include <cstring>

namespace quorle::engine {

void FieldCollector::check_utf8(FieldText& f) {
  const std::string_view t = text(f);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.data());
  if (is_valid_utf8(bytes, t.size())) return;
  valid_utf8_ = false;
  std::string decoded;
  if (legacy_cp1252_) {
    append_utf8_or_cp1252(decoded, bytes, t.size());
  } else {
    append_lossy_utf8(decoded, bytes, t.size());
  }
  f = {scratch_.size(), decoded.size(), true, f.plain};  // neither adds a special byte
  scratch_.append(decoded);
}

void FieldCollector::split_whole() const {
  const std::size_t base = whole_.begin;
  const std::string_view raw(reinterpret_cast<const char*>(input_) + base, whole_.end - base);
  std::vector<std::string_view> views;
  split_quote_free(raw, whole_.delimiter, views);
  for (std::string_view v : views) {
    fields_.push_back(
        {static_cast<std::uint64_t>(v.data() - raw.data()) + base, v.size(), false, true});
  }
}

}  // namespace quorle::engine
