#include "package_native/arrow_rows.hpp"

#include <algorithm>
#include <cstring>

#include "engine/verbatim_fields.hpp"

namespace quorle::native {
namespace {

// A built row of at most this many fields goes into the batch whole.
constexpr std::uint64_t FIELDS_AT_ONCE = 4096;
// Arena texts from this long on are copied in pieces of this size, and released behind.
constexpr std::size_t RELEASED_TEXT = std::size_t{64} << 20;

}  // namespace

void ArrowRows::header_names(const engine::StoredRow& row, std::vector<std::string>& names) {
  std::vector<std::string_view> fields(row.fields.begin(), row.fields.end());
  if (row.verbatim && row.fields.empty()) split(row, fields);
  for (std::string_view f : fields)
    names.emplace_back(f);
}

void ArrowRows::split(const engine::StoredRow& row, std::vector<std::string_view>& fields) {
  if (row.quote_free) {
    engine::split_quote_free(row.raw, delimiter_, fields);
  } else {
    engine::split_verbatim(row.raw, delimiter_, quote_, fields, unescaped_);
  }
}

// A built row's fields come from the cursor one at a time, so a row of millions of fields needs
// no list of them; a short one goes in whole.
void ArrowRows::add(arrow::StringBatchBuilder& b, engine::RowStore& store,
                    engine::RowStore::Cursor& cursor, const engine::StoredRow& row,
                    std::uint64_t stored) {
  if (!row.verbatim) {
    if (stored <= FIELDS_AT_ONCE) {
      fields_.resize(stored);
      bool long_text = false;
      for (std::string_view& f : fields_) {
        f = cursor.next_field().text;
        long_text |= f.size() >= RELEASED_TEXT;
      }
      if (!long_text) return b.row(fields_);
      for (const std::string_view f : fields_)
        add_text(b, store, f);
      return b.end_row();
    }
    for (std::uint64_t i = 0; i < stored; ++i)
      add_text(b, store, cursor.next_field().text);
    return b.end_row();
  }
  if (row.quote_free) {  // padding, if any, is what end_row() adds
    return b.delimited_row(row.raw.data(), row.raw.data() + row.raw.size(),
                           static_cast<char>(delimiter_));
  }
  add_verbatim(b, row.raw);
}

// A verbatim row with quotes: its fields one at a time, a quoted one with doubled quotes unescaped
// straight into the batch rather than into a copy first, and no list of fields in between (so a
// row of a gigabyte never exists twice in full either).
void ArrowRows::add_verbatim(arrow::StringBatchBuilder& b, std::string_view raw) {
  const char* s = raw.data();
  const auto quote = static_cast<char>(quote_);
  engine::for_each_well_formed_field(
      raw, delimiter_, quote_, [&](std::size_t begin, std::size_t end, std::size_t quotes) {
        if (quotes == 0) return b.field(s + begin, end - begin);
        if (quotes == 2) return b.field(s + begin + 1, end - begin - 2);
        const std::size_t size = end - begin - 2 - (quotes - 2) / 2;
        if (char* to = b.field_room(size)) {
          engine::copy_unescaped(to, s + begin + 1, end - begin - 2, quote);
          return;
        }
        unescaped_.resize(size);
        engine::copy_unescaped(unescaped_.data(), s + begin + 1, end - begin - 2, quote);
        b.field(unescaped_);
      });
  b.end_row();
}

// A long text is copied in pieces; when it lies in the store's arena, each piece's pages are
// given back once copied (the arena is read once, in order), so that it never exists twice in
// full. (Pages of the input are left alone: release_arena_before ignores places outside the
// arena.)
void ArrowRows::add_text(arrow::StringBatchBuilder& b, engine::RowStore& store,
                         std::string_view text) {
  char* to = text.size() >= RELEASED_TEXT ? b.field_room(text.size()) : nullptr;
  if (to == nullptr) return b.field(text);
  for (std::size_t at = 0; at < text.size(); at += RELEASED_TEXT) {
    const std::size_t n = std::min(RELEASED_TEXT, text.size() - at);
    std::memcpy(to + at, text.data() + at, n);
    store.release_arena_before(text.data() + at + n);
  }
}

}  // namespace quorle::native
