// Compact storage for rows. A row costs a few bytes beyond the input it refers to: either the span
// of input bytes that already is its clean encoding (a verbatim row), or, per field, a varint
// length and a varint gap to the field's input bytes. Texts that differ from the input live in one
// arena; padding fields are a count and cost nothing. Rows are read back in order by a cursor,
// whole or a field at a time. Both buffers grow without copying (ByteBuffer), so a row of
// millions of fields or a field of gigabytes costs its encoding once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_buffer.hpp"
#include "engine/invariant.hpp"

namespace quorle::engine {

/// One stored row as a cursor hands it out; valid until the cursor moves on.
struct StoredRow {
  /// `raw` is the record's own input bytes, a well-formed encoding of its fields with the run's
  /// delimiter and quote (quoted fields quoted, quotes doubled), line break excluded.
  bool verbatim = false;
  std::string_view raw;
  /// Every field byte is below 0x80 (false: unknown).
  bool ascii = false;
  /// A verbatim row without any quote byte: its fields are the runs between delimiters.
  bool quote_free = false;
  /// The fields, padding excluded. For a verbatim row only when the cursor was asked to split it.
  std::span<const std::string_view> fields;
  /// For a built row, one flag per field: 1 when the text is known to hold no quote, delimiter,
  /// CR or LF, so that writing it needs no search.
  std::span<const std::uint8_t> plain;
  /// Empty fields that follow the stored ones.
  std::uint64_t padding = 0;

  std::uint64_t field_count() const { return fields.size() + padding; }
};

/// One field of a built row, as Cursor::next_field hands it out.
struct StoredField {
  std::string_view text;
  bool plain = false;     ///< known to hold no quote, delimiter, CR or LF
  bool in_arena = false;  ///< the text lies in the store's arena, not in the input
};

namespace detail {
// The first byte of every stored row.
namespace row_head {
inline constexpr std::uint8_t BUILT = 1;       // fields stored one by one; else a verbatim span
inline constexpr std::uint8_t PADDED = 2;      // a padding count follows
inline constexpr std::uint8_t QUOTE_FREE = 4;  // a verbatim row without any quote byte
inline constexpr std::uint8_t ASCII = 8;       // a verbatim row of ASCII bytes only
}  // namespace row_head

/// Writes `v` seven bits a byte, low bits first, the high bit set on every byte but the last.
inline std::uint8_t* write_varint(std::uint8_t* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}
}  // namespace detail

/// Where a cursor stands in a store, to come back to it.
struct RowPosition {
  std::size_t stream;
  std::uint64_t input;
  std::size_t arena;
  std::uint64_t index;
};

class RowStore {
 public:
  RowStore() = default;
  RowStore(std::string_view input, std::uint8_t delimiter, std::uint8_t quote)
      : input_(input), delimiter_(delimiter), quote_(quote) {}

  std::uint64_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  /// Whether some stored row refers to the input bytes; if not, they may be released.
  bool refers_to_input() const { return refers_to_input_; }
  std::string_view input() const { return input_; }
  char delimiter() const { return static_cast<char>(delimiter_); }
  std::uint8_t quote() const { return quote_; }

  /// A verbatim row; `quote_free` and `ascii` tell what its bytes are known to lack.
  void add_verbatim(std::uint64_t begin, std::uint64_t length, std::uint64_t padding,
                    bool quote_free = false, bool ascii = false);

  /// A built row: begin_row, then exactly `field_count` fields, each by add_input_field,
  /// add_text_field or begin_text / append_text / end_text.
  void begin_row(std::uint64_t field_count, std::uint64_t padding);
  void add_input_field(std::uint64_t offset, std::uint64_t length, bool plain = false) {
    if (length == 0) return put_text_length(0, true);
    QUORLE_DCHECK(offset >= input_pos_ && offset + length <= input_.size());
    std::uint8_t* out = room(2 * MAX_VARINT);
    out = detail::write_varint(out, length << 2 | (plain ? 2 : 0));
    out = detail::write_varint(out, offset - input_pos_);
    commit(out);
    input_pos_ = offset + length;
    refers_to_input_ = true;
  }
  void add_text_field(std::string_view text, bool plain = false);
  void begin_text() { text_begin_ = arena_.size(); }
  void append_text(std::string_view text) { arena_.append(text); }
  void end_text(bool plain = false);
  /// Forgets the text begun by begin_text.
  void drop_text() { arena_.resize(text_begin_); }
  /// Bytes appended since begin_text.
  std::size_t text_length() const { return arena_.size() - text_begin_; }
  /// A field whose text was appended to the arena before (after the texts of the fields before
  /// it): its next `length` bytes.
  void add_arena_field(std::uint64_t length, bool plain) { put_text_length(length, plain); }

  /// A built row whose fields are added before their count is known (the package's pass stores
  /// fields as the tokenizer finds them): begin_draft, fields as for begin_row, then commit_draft,
  /// or drop_draft to forget them. A cursor sought to draft_start() reads them back.
  void begin_draft() {
    draft_ = stream_.size();
    draft_arena_ = arena_.size();
    draft_input_ = input_pos_;
    draft_refers_ = refers_to_input_;
    room(DRAFT_HEAD);
    stream_.extend_to(draft_ + DRAFT_HEAD);
  }
  void commit_draft(std::uint64_t field_count, std::uint64_t padding);
  void drop_draft() {
    const bool large = stream_.size() - draft_ >= FORGOTTEN_RELEASED ||
                       arena_.size() - draft_arena_ >= FORGOTTEN_RELEASED;
    stream_.resize(draft_);
    arena_.resize(draft_arena_);
    input_pos_ = draft_input_;
    refers_to_input_ = draft_refers_;
    if (large) release_forgotten();
  }
  RowPosition draft_start() const;
  /// Forgets the draft's fields from `at` (a cursor's position within the draft) on.
  void cut_draft(const RowPosition& at);
  /// Replaces the draft's fields from `at` on by one field: their texts joined by `joiner`. When
  /// they are input texts separated by single bytes equal to a one-byte joiner, the new field is
  /// that stretch of the input, not a copy.
  void merge_draft_from(const RowPosition& at, std::string_view joiner);

  /// Appends the rows of a store over the same input, after this one's (a part of the input
  /// sorted apart).
  void append(const RowStore& other);

  /// Bytes held, capacity included.
  std::size_t memory_bytes() const { return stream_.capacity() + arena_.capacity(); }
  void shrink_to_fit();
  /// Gives the arena's whole pages before `end`, a place in it, back to the system. Only for a
  /// consumer that reads the rows once, in order, and has read every arena text before `end`.
  void release_arena_before(const char* end);

  class Cursor {
   public:
    using Position = RowPosition;

    explicit Cursor(const RowStore& store) : store_(&store) {}
    /// The next row, or false at the end. With `split`, verbatim rows get their fields too.
    bool next(StoredRow& row, bool split);
    /// The next row without its fields: `fields` and `plain` stay empty and a built row's
    /// `stored` fields come one by one from next_field(). Fields left unread are skipped.
    bool next_head(StoredRow& row, std::uint64_t& stored);
    /// The next field of the built row that next_head() began (or of a draft the cursor was
    /// sought into). The text is valid as long as the store is unchanged.
    StoredField next_field() {
      const RowStore& store = *store_;
      if (left_ != 0) --left_;
      const std::uint64_t v = read_varint();
      const std::uint64_t length = v >> 2;
      const bool plain = (v >> 1) & 1;
      if (v & 1) {
        const std::string_view text = store.arena_.view(arena_pos_, length);
        arena_pos_ += length;
        return {text, plain, true};
      }
      const std::uint64_t begin = input_pos_ + read_varint();
      input_pos_ = begin + length;
      return {store.input_.substr(begin, length), plain, false};
    }
    std::uint64_t index() const { return index_; }

    Position position() const { return {stream_pos_, input_pos_, arena_pos_, index_}; }
    void seek(const Position& p) {
      stream_pos_ = p.stream;
      input_pos_ = p.input;
      arena_pos_ = p.arena;
      index_ = p.index;
      left_ = 0;
    }

   private:
    std::uint64_t read_varint() {
      const std::uint8_t b = store_->stream_.data()[stream_pos_];
      if (b < 0x80) {  // most values fit in one byte
        ++stream_pos_;
        return b;
      }
      return read_long_varint();
    }
    std::uint64_t read_long_varint();

    const RowStore* store_;
    std::size_t stream_pos_ = 0;
    std::uint64_t input_pos_ = 0;
    std::size_t arena_pos_ = 0;
    std::uint64_t index_ = 0;
    std::uint64_t left_ = 0;  // fields of the current built row not read yet
    std::vector<std::string_view> fields_;
    std::vector<std::uint8_t> plain_;
    std::string unescaped_;
  };
  Cursor cursor() const { return Cursor(*this); }

 private:
  static constexpr std::size_t MAX_VARINT = 10;
  // A draft's header is written once its field count is known, into room kept before its fields.
  static constexpr std::size_t DRAFT_HEAD = 1 + 2 * MAX_VARINT;
  // A huge record dropped or cut short leaves its bytes resident in the buffers' capacity: given
  // back at once from this many bytes on, not when the store goes, which may be long after.
  static constexpr std::size_t FORGOTTEN_RELEASED = std::size_t{1} << 20;

  // Room for `bytes` more bytes of the stream; write through the pointer, then commit.
  std::uint8_t* room(std::size_t bytes) { return stream_.room(bytes); }
  void commit(const std::uint8_t* end) {
    stream_.extend_to(static_cast<std::size_t>(end - stream_.data()));
  }
  // A field is its length shifted left by two, with bit 1 for a plain text and bit 0 for a text
  // in the arena (the empty field included); a text in the input is followed by its gap.
  void put_text_length(std::uint64_t length, bool plain) {
    commit(detail::write_varint(room(MAX_VARINT), length << 2 | (plain ? 2 : 0) | 1));
  }
  void release_forgotten();

  std::string_view input_;
  std::uint8_t delimiter_ = ',';
  std::uint8_t quote_ = '"';
  ByteBuffer stream_;
  ByteBuffer arena_;
  std::uint64_t count_ = 0;
  bool refers_to_input_ = false;
  std::uint64_t input_pos_ = 0;  // end of the last input bytes referred to
  std::size_t text_begin_ = 0;
  std::size_t arena_released_ = 0;  // the arena's bytes before it are given back
  // The draft: where its header room begins in the stream, and the state before it.
  std::size_t draft_ = 0;
  std::size_t draft_arena_ = 0;
  std::uint64_t draft_input_ = 0;
  bool draft_refers_ = false;
};

// Inline: every reader of rows calls it once a row.
inline bool RowStore::Cursor::next_head(StoredRow& row, std::uint64_t& stored) {
  using namespace detail::row_head;
  while (left_ != 0)
    (void)next_field();
  const RowStore& store = *store_;
  if (stream_pos_ >= store.stream_.size()) return false;
  const std::uint8_t head = store.stream_.data()[stream_pos_++];
  row.fields = {};
  row.plain = {};
  if (!(head & BUILT)) {
    const std::uint64_t begin = input_pos_ + read_varint();
    const std::uint64_t length = read_varint();
    row.verbatim = true;
    row.raw = store.input_.substr(begin, length);
    row.ascii = (head & ASCII) != 0;
    row.quote_free = (head & QUOTE_FREE) != 0;
    row.padding = (head & PADDED) ? read_varint() : 0;
    input_pos_ = begin + length;
    stored = 0;
  } else {
    stored = read_varint();
    row.verbatim = false;
    row.raw = {};
    row.ascii = false;
    row.quote_free = false;
    row.padding = (head & PADDED) ? read_varint() : 0;
    left_ = stored;
  }
  ++index_;
  return true;
}

/// Splits a verbatim row's bytes into its fields. Texts with doubled quotes are unescaped into
/// `unescaped`, which the returned views may point into.
void split_verbatim(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                    std::vector<std::string_view>& fields, std::string& unescaped);
/// The same for bytes without any quote: the fields are the runs between delimiters.
void split_quote_free(std::string_view raw, std::uint8_t delimiter,
                      std::vector<std::string_view>& fields);

}  // namespace quorle::engine
