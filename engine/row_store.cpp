#include "engine/row_store.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/find_bytes.hpp"
#include "engine/invariant.hpp"
#include "engine/verbatim_fields.hpp"

namespace quorle::engine {
namespace {

using namespace detail::row_head;

using detail::write_varint;

std::uint8_t* write_built_head(std::uint8_t* out, std::uint64_t field_count,
                               std::uint64_t padding) {
  *out++ = static_cast<std::uint8_t>(BUILT | (padding ? PADDED : 0));
  out = write_varint(out, field_count);
  if (padding) out = write_varint(out, padding);
  return out;
}

}  // namespace

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

void RowStore::append(const RowStore& other) {
  QUORLE_CHECK(other.input_.data() == input_.data() && other.input_.size() == input_.size());
  const auto offset = [&](std::string_view text) {
    return static_cast<std::uint64_t>(text.data() - input_.data());
  };
  Cursor cursor = other.cursor();
  StoredRow row;
  std::uint64_t stored = 0;
  while (cursor.next_head(row, stored)) {
    if (row.verbatim) {
      add_verbatim(offset(row.raw), row.raw.size(), row.padding, row.quote_free, row.ascii);
      continue;
    }
    begin_row(stored, row.padding);
    for (std::uint64_t k = 0; k < stored; ++k) {
      const StoredField field = cursor.next_field();
      if (field.in_arena) {
        add_text_field(field.text, field.plain);
      } else {
        add_input_field(offset(field.text), field.text.size(), field.plain);
      }
    }
  }
}

void RowStore::begin_row(std::uint64_t field_count, std::uint64_t padding) {
  commit(write_built_head(room(DRAFT_HEAD), field_count, padding));
  ++count_;
}

void RowStore::add_text_field(std::string_view text, bool plain) {
  arena_.append(text);
  put_text_length(text.size(), plain);
}

void RowStore::end_text(bool plain) {
  put_text_length(arena_.size() - text_begin_, plain);
}

void RowStore::commit_draft(std::uint64_t field_count, std::uint64_t padding) {
  std::uint8_t head[DRAFT_HEAD];
  const auto head_size =
      static_cast<std::size_t>(write_built_head(head, field_count, padding) - head);
  std::uint8_t* at = stream_.data() + draft_;
  const std::size_t fields = stream_.size() - draft_ - DRAFT_HEAD;
  std::memmove(at + head_size, at + DRAFT_HEAD, fields);
  std::memcpy(at, head, head_size);
  stream_.resize(draft_ + head_size + fields);
  ++count_;
}

void RowStore::release_forgotten() {
  stream_.release_forgotten(FORGOTTEN_RELEASED);
  arena_.release_forgotten(FORGOTTEN_RELEASED);
}

RowPosition RowStore::draft_start() const {
  return {draft_ + DRAFT_HEAD, draft_input_, draft_arena_, count_};
}

void RowStore::cut_draft(const RowPosition& at) {
  QUORLE_DCHECK(at.stream >= draft_ + DRAFT_HEAD && at.stream <= stream_.size());
  stream_.resize(at.stream);
  arena_.resize(at.arena);
  input_pos_ = at.input;
  release_forgotten();
}

void RowStore::merge_draft_from(const RowPosition& at, std::string_view joiner) {
  const std::size_t end = stream_.size();
  // First pass: the merged length, and whether the texts are one stretch of input: each right
  // after the joiner byte that follows the one before (empty texts included).
  const auto* in = reinterpret_cast<const std::uint8_t*>(input_.data());
  const auto joiner_byte = static_cast<std::uint8_t>(joiner.empty() ? 0 : joiner[0]);
  std::uint64_t length = 0, fields = 0;
  bool stretch = joiner.size() == 1, placed = false;
  std::uint64_t begin = 0, previous_end = 0, leading_empty = 0;
  Cursor reader(*this);
  reader.seek(at);
  while (reader.position().stream < end) {
    const StoredField f = reader.next_field();
    if (fields++ != 0) length += joiner.size();
    length += f.text.size();
    if (!stretch) continue;
    const std::uint64_t offset =
        f.in_arena ? 0 : static_cast<std::uint64_t>(f.text.data() - input_.data());
    if (!placed) {
      if (f.text.empty()) {
        ++leading_empty;
        continue;
      }
      // The leading empty texts stand for as many joiner bytes right before the first text.
      stretch = !f.in_arena && offset >= leading_empty;
      for (std::uint64_t k = offset - leading_empty; stretch && k < offset; ++k)
        stretch = in[k] == joiner_byte;
      begin = offset - leading_empty;
      previous_end = offset + f.text.size();
      placed = true;
      continue;
    }
    if (previous_end >= input_.size() || in[previous_end] != joiner_byte) {
      stretch = false;
      continue;
    }
    const std::uint64_t start = previous_end + 1;
    if (!f.text.empty() && (f.in_arena || offset != start)) {
      stretch = false;
      continue;
    }
    previous_end = start + f.text.size();
  }
  if (stretch && placed) {
    QUORLE_DCHECK(previous_end - begin == length);
    cut_draft(at);
    add_input_field(begin, length, false);
    return;
  }
  // Built after the arena's end, in room reserved first so that the texts read stay in place,
  // then moved down over the texts it replaces.
  std::uint8_t* out = arena_.room(length);
  const std::size_t built_at = arena_.size();
  reader.seek(at);
  std::uint64_t written = 0;
  for (std::uint64_t i = 0; i < fields; ++i) {
    const StoredField f = reader.next_field();
    if (i != 0) {
      std::memcpy(out + written, joiner.data(), joiner.size());
      written += joiner.size();
    }
    if (!f.text.empty()) std::memcpy(out + written, f.text.data(), f.text.size());
    written += f.text.size();
  }
  arena_.extend_to(built_at + length);
  if (length != 0) std::memmove(arena_.data() + at.arena, arena_.data() + built_at, length);
  stream_.resize(at.stream);
  input_pos_ = at.input;
  arena_.resize(at.arena + length);
  put_text_length(length, false);
  release_forgotten();
}

void RowStore::shrink_to_fit() {
  stream_.shrink_to_fit();
  arena_.shrink_to_fit();
}

void RowStore::release_arena_before(const char* end) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto base = reinterpret_cast<std::uintptr_t>(arena_.data());
  const auto at = reinterpret_cast<std::uintptr_t>(end);
  if (at < base || at > base + arena_.size()) return;  // not in the arena
  const auto offset = static_cast<std::size_t>(at - base);
  const std::uintptr_t from = (base + arena_released_ + page - 1) / page * page;
  const std::uintptr_t to = (base + offset) / page * page;
  if (to <= from) return;
  ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  arena_released_ = to - base;
}

std::uint64_t RowStore::Cursor::read_long_varint() {
  const std::uint8_t* s = store_->stream_.data();
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    QUORLE_DCHECK(stream_pos_ < store_->stream_.size());
    const std::uint8_t b = s[stream_pos_++];
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) return v;
  }
}

bool RowStore::Cursor::next(StoredRow& row, bool split) {
  std::uint64_t count = 0;
  if (!next_head(row, count)) return false;
  if (row.verbatim) {
    if (split) {
      if (row.quote_free) {
        split_quote_free(row.raw, store_->delimiter_, fields_);
      } else {
        split_verbatim(row.raw, store_->delimiter_, store_->quote_, fields_, unescaped_);
      }
      row.fields = fields_;
    }
    return true;
  }
  fields_.resize(count);
  plain_.resize(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const StoredField f = next_field();
    fields_[i] = f.text;
    plain_[i] = f.plain;
  }
  row.fields = fields_;
  row.plain = plain_;
  return true;
}

void split_quote_free(std::string_view raw, std::uint8_t delimiter,
                      std::vector<std::string_view>& fields) {
  fields.clear();
  const char* s = raw.data();
  const std::size_t n = raw.size();
  std::size_t start = 0;
  find_bytes::for_each_match(
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
