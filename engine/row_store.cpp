#include "engine/row_store.hpp"

#include <algorithm>
#include <cstring>

#include "engine/byte_search.hpp"
#include "engine/check.hpp"

namespace quorle::engine {
namespace {

// The first byte of every stored row.
constexpr std::uint8_t BUILT = 1;       // fields stored one by one; otherwise a verbatim span
constexpr std::uint8_t PADDED = 2;      // a padding count follows
constexpr std::uint8_t QUOTE_FREE = 4;  // a verbatim row without any quote byte
constexpr std::uint8_t ASCII = 8;       // a verbatim row of ASCII bytes only
constexpr std::size_t MAX_VARINT = 10;

std::uint8_t* write_varint(std::uint8_t* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

// Splitting a well-formed record: every field that holds a quote is enclosed in quotes, with each
// quote inside doubled. Quotes then only toggle "inside quotes", and a delimiter outside quotes
// ends a field.
/// Calls on_field(begin, end, quotes) for each field of `raw`: the field's bytes are
/// [begin, end) and hold `quotes` quote bytes (0 for an unquoted field; 2 for a quoted field
/// without a doubled quote inside).
template <class OnField>
void for_each_well_formed_field(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                                OnField&& on_field) {
  const char* s = raw.data();
  const std::size_t n = raw.size();
  const char q = static_cast<char>(quote);
  std::size_t start = 0, quotes = 0;
  bool inside = false;
  auto event = [&](std::size_t at) {
    if (s[at] == q) {
      inside = !inside;
      ++quotes;
    } else if (!inside) {
      on_field(start, at, quotes);
      start = at + 1;
      quotes = 0;
    }
  };
  byte_search::for_each_match(s, n, event, delimiter, quote);
  on_field(start, n, quotes);
}

/// Appends the text of a quoted field [begin, end) of `s` (enclosing quotes included) with each
/// doubled quote made one.
template <class String>
void append_unescaped(String& out, const char* s, std::size_t begin, std::size_t end, char quote) {
  for (std::size_t i = begin + 1; i + 1 < end; ++i) {
    out.push_back(s[i]);
    if (s[i] == quote) ++i;  // the second of a doubled pair
  }
}

}  // namespace

void RowStore::grow(std::size_t bytes) {
  stream_.resize(std::max({stream_.size() * 2, used_ + bytes, std::size_t{4096}}));
}

// A field is its length shifted left by two, with bit 1 for a plain text and bit 0 for a text in
// the arena (the empty field included); a text in the input is followed by its gap.
void RowStore::put_text_length(std::uint64_t length, bool plain) {
  commit(write_varint(room(MAX_VARINT), length << 2 | (plain ? 2 : 0) | 1));
}

void RowStore::add_verbatim(std::uint64_t begin, std::uint64_t length, std::uint64_t padding,
                            bool quote_free, bool ascii) {
  QUORLE_DCHECK(begin >= input_pos_ && begin + length <= input_.size());
  std::uint8_t* out = room(1 + 3 * MAX_VARINT);
  *out++ = static_cast<std::uint8_t>((padding ? PADDED : 0) | (quote_free ? QUOTE_FREE : 0) |
                                     (ascii ? ASCII : 0));
  out = write_varint(out, begin - input_pos_);
  out = write_varint(out, length);
  if (padding) out = write_varint(out, padding);
  commit(out);
  input_pos_ = begin + length;
  refers_to_input_ = true;
  ++count_;
}

void RowStore::begin_row(std::uint64_t field_count, std::uint64_t padding) {
  std::uint8_t* out = room(1 + 2 * MAX_VARINT);
  *out++ = static_cast<std::uint8_t>(BUILT | (padding ? PADDED : 0));
  out = write_varint(out, field_count);
  if (padding) out = write_varint(out, padding);
  commit(out);
  ++count_;
}

void RowStore::add_input_field(std::uint64_t offset, std::uint64_t length, bool plain) {
  if (length == 0) return put_text_length(0, true);
  QUORLE_DCHECK(offset >= input_pos_ && offset + length <= input_.size());
  std::uint8_t* out = room(2 * MAX_VARINT);
  out = write_varint(out, length << 2 | (plain ? 2 : 0));
  out = write_varint(out, offset - input_pos_);
  commit(out);
  input_pos_ = offset + length;
  refers_to_input_ = true;
}

void RowStore::add_text_field(std::string_view text, bool plain) {
  arena_.append(text);
  put_text_length(text.size(), plain);
}

void RowStore::end_text() {
  put_text_length(arena_.size() - text_begin_, false);
}

void RowStore::shrink_to_fit() {
  stream_.resize(used_);
  stream_.shrink_to_fit();
  arena_.shrink_to_fit();
}

std::uint64_t RowStore::Cursor::read_long_varint() {
  const std::vector<std::uint8_t>& s = store_->stream_;
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    QUORLE_DCHECK(stream_pos_ < store_->used_);
    const std::uint8_t b = s[stream_pos_++];
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) return v;
  }
}

bool RowStore::Cursor::next(StoredRow& row, bool split) {
  const RowStore& store = *store_;
  if (stream_pos_ >= store.used_) return false;
  const std::uint8_t head = store.stream_[stream_pos_++];
  if (!(head & BUILT)) {
    const std::uint64_t begin = input_pos_ + read_varint();
    const std::uint64_t length = read_varint();
    row.verbatim = true;
    row.raw = store.input_.substr(begin, length);
    row.ascii = (head & ASCII) != 0;
    row.quote_free = (head & QUOTE_FREE) != 0;
    row.padding = (head & PADDED) ? read_varint() : 0;
    input_pos_ = begin + length;
    if (split) {
      if (head & QUOTE_FREE) {
        split_quote_free(row.raw, store.delimiter_, fields_);
      } else {
        split_verbatim(row.raw, store.delimiter_, store.quote_, fields_, unescaped_);
      }
      row.fields = fields_;
    } else {
      row.fields = {};
    }
    row.plain = {};
  } else {
    const std::uint64_t count = read_varint();
    row.verbatim = false;
    row.raw = {};
    row.ascii = false;
    row.quote_free = false;
    row.padding = (head & PADDED) ? read_varint() : 0;
    fields_.resize(count);
    plain_.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t v = read_varint();
      const std::uint64_t length = v >> 2;
      plain_[i] = (v >> 1) & 1;
      if (v & 1) {
        fields_[i] = std::string_view(store.arena_).substr(arena_pos_, length);
        arena_pos_ += length;
      } else {
        const std::uint64_t begin = input_pos_ + read_varint();
        fields_[i] = store.input_.substr(begin, length);
        input_pos_ = begin + length;
      }
    }
    row.fields = fields_;
    row.plain = plain_;
  }
  ++index_;
  return true;
}

void split_quote_free(std::string_view raw, std::uint8_t delimiter,
                      std::vector<std::string_view>& fields) {
  fields.clear();
  const char* s = raw.data();
  const std::size_t n = raw.size();
  std::size_t start = 0;
  byte_search::for_each_match(
      s, n,
      [&](std::size_t at) {
        fields.emplace_back(s + start, at - start);
        start = at + 1;
      },
      delimiter);
  fields.emplace_back(s + start, n - start);
}

void split_verbatim(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                    std::vector<std::string_view>& fields, std::string& unescaped) {
  fields.clear();
  unescaped.clear();
  unescaped.reserve(raw.size());  // views into it must survive the appends below
  const char* s = raw.data();
  for_each_well_formed_field(
      raw, delimiter, quote, [&](std::size_t begin, std::size_t end, std::size_t quotes) {
        if (quotes == 0) {
          fields.emplace_back(s + begin, end - begin);
        } else if (quotes == 2) {  // only the enclosing pair
          fields.emplace_back(s + begin + 1, end - begin - 2);
        } else {
          const std::size_t at = unescaped.size();
          append_unescaped(unescaped, s, begin, end, static_cast<char>(quote));
          fields.emplace_back(unescaped.data() + at, unescaped.size() - at);
        }
      });
}

}  // namespace quorle::engine
