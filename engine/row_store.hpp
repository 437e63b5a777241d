// Compact storage for rows. A row costs a few bytes beyond the input it refers to: either the span
// of input bytes that already is its clean encoding (a verbatim row), or, per field, a varint
// length and a varint gap to the field's input bytes. Texts that differ from the input live in one
// arena; padding fields are a count and cost nothing. Rows are read back in order by a cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  void add_input_field(std::uint64_t offset, std::uint64_t length, bool plain = false);
  void add_text_field(std::string_view text, bool plain = false);
  void begin_text() { text_begin_ = arena_.size(); }
  void append_text(std::string_view text) { arena_.append(text); }
  void end_text();

  /// Bytes held, capacity included.
  std::size_t memory_bytes() const { return stream_.capacity() + arena_.capacity(); }
  void shrink_to_fit();

  class Cursor {
   public:
    explicit Cursor(const RowStore& store) : store_(&store) {}
    /// The next row, or false at the end. With `split`, verbatim rows get their fields too.
    bool next(StoredRow& row, bool split);
    std::uint64_t index() const { return index_; }

    /// Where the cursor stands, to come back to it.
    struct Position {
      std::size_t stream;
      std::uint64_t input;
      std::size_t arena;
      std::uint64_t index;
    };
    Position position() const { return {stream_pos_, input_pos_, arena_pos_, index_}; }
    void seek(const Position& p) {
      stream_pos_ = p.stream;
      input_pos_ = p.input;
      arena_pos_ = p.arena;
      index_ = p.index;
    }

   private:
    std::uint64_t read_varint() {
      const std::uint8_t b = store_->stream_[stream_pos_];
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
    std::vector<std::string_view> fields_;
    std::vector<std::uint8_t> plain_;
    std::string unescaped_;
  };
  Cursor cursor() const { return Cursor(*this); }

 private:
  // Room for `bytes` more bytes of the stream; write through the pointer, then commit.
  std::uint8_t* room(std::size_t bytes) {
    if (stream_.size() - used_ < bytes) grow(bytes);
    return stream_.data() + used_;
  }
  void commit(const std::uint8_t* end) { used_ = static_cast<std::size_t>(end - stream_.data()); }
  void grow(std::size_t bytes);
  void put_text_length(std::uint64_t length, bool plain);

  std::string_view input_;
  std::uint8_t delimiter_ = ',';
  std::uint8_t quote_ = '"';
  std::vector<std::uint8_t> stream_;  // its first used_ bytes are written
  std::size_t used_ = 0;
  std::string arena_;
  std::uint64_t count_ = 0;
  bool refers_to_input_ = false;
  std::uint64_t input_pos_ = 0;  // end of the last input bytes referred to
  std::size_t text_begin_ = 0;
};

/// Splits a verbatim row's bytes into its fields. Texts with doubled quotes are unescaped into
/// `unescaped`, which the returned views may point into.
void split_verbatim(std::string_view raw, std::uint8_t delimiter, std::uint8_t quote,
                    std::vector<std::string_view>& fields, std::string& unescaped);
/// The same for bytes without any quote: the fields are the runs between delimiters.
void split_quote_free(std::string_view raw, std::uint8_t delimiter,
                      std::vector<std::string_view>& fields);

}  // namespace quorle::engine
