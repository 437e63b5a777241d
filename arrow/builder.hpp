// Builds batches of rescued rows as Arrow arrays: one struct array per batch, one string child per
// column, all the column's values in one offsets buffer and one data buffer.
//
// Rows come in three ways: field by field (field(), padding(), end_row()), as a list of field
// texts (row()), or as the text of a record without quotes, split here (delimited_row(): the bulk
// of a clean file, which then never goes through a list of fields). Field bytes are copied, so
// the input they came from may go away while batches live.
//
// Appending a field is a bounds check, an offset store and a short copy: buffers grow
// geometrically, and each batch starts at the size the previous one reached, so a steady stream
// allocates a few buffers per column per batch and nothing per field. finish() hands the buffers
// to the ArrowArray (the consumer frees them through its release callback), so they cannot be
// reused; the next batch gets new ones.
//
// A row with more fields than columns is refused (std::length_error): cutting or merging fields
// is the rescue's decision, made before. After an exception the builder is not to be used again.
//
// With int32 offsets ("u") no column of a batch may hold more than 2^31-1 bytes. When a row would
// take a column past that, the row is set aside, full() turns true, and the next finish() exports
// the rows before it; the row opens the next batch. The limit is a parameter so that tests can
// reach it with small rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/abi.hpp"

namespace quorle::arrow {

namespace detail {
// Most fields are short: a copy of up to 16 bytes in two overlapping moves beats a call to memcpy.
// Never reads or writes outside [src, src + n) and [dst, dst + n).
inline void copy_bytes(char* dst, const char* src, std::size_t n) {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n != 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}
}  // namespace detail

enum class StringType : std::uint8_t {
  kString,       ///< "u": int32 offsets
  kLargeString,  ///< "U": int64 offsets
};

inline const char* format_of(StringType type) {
  return type == StringType::kString ? kStringFormat : kLargeStringFormat;
}

struct BuilderOptions {
  StringType type = StringType::kString;
  /// A padded field (a record shorter than the column count) is a null rather than "".
  bool null_padding = false;
  /// The most data bytes one column of a batch may hold with int32 offsets.
  std::uint64_t max_column_bytes = INT32_MAX;
};

/// A single field longer than one batch's column can hold with int32 offsets.
class FieldTooLarge : public std::length_error {
 public:
  explicit FieldTooLarge(std::uint64_t size);
};

class StringBatchBuilder {
 public:
  StringBatchBuilder(std::size_t columns, BuilderOptions options = {});
  ~StringBatchBuilder();
  StringBatchBuilder(const StringBatchBuilder&) = delete;
  StringBatchBuilder& operator=(const StringBatchBuilder&) = delete;

  /// The next field of the current row: `size` bytes of UTF-8 at `data`, copied.
  void field(const char* data, std::size_t size) {
    if (col_ == 0) begin_row();
    if (col_ >= columns_) too_many_fields();
    Column& c = cols_[col_];
    if (carrying_ || c.size + size > limit_) return carry(data, size, false);
    if (c.size + size > c.capacity) grow_data(c, size);
    detail::copy_bytes(c.data + c.size, data, size);  // nothing at all for an empty field
    c.size += size;
    store_offset(c);
    ++col_;
  }
  void field(std::string_view text) { field(text.data(), text.size()); }

  /// The next field as `size` bytes that the caller writes to the returned place before any other
  /// call, so that it can copy a long text in pieces. Null when the field must come through
  /// field() instead (the row is being set aside).
  char* field_room(std::size_t size) {
    if (col_ == 0) begin_row();
    if (col_ >= columns_) too_many_fields();
    Column& c = cols_[col_];
    if (carrying_ || c.size + size > limit_) return nullptr;
    // Even an empty field's room is a place in a buffer: null means "use field()".
    if (c.size + size > c.capacity || c.data == nullptr) grow_data(c, size);
    char* room = c.data + c.size;
    c.size += size;
    store_offset(c);
    ++col_;
    return room;
  }

  /// The next field was missing from the record: an empty string, or a null with null_padding.
  void padding() {
    if (col_ == 0) begin_row();
    if (col_ >= columns_) too_many_fields();
    if (carrying_) return carry(nullptr, 0, options_.null_padding);
    Column& c = cols_[col_];
    if (options_.null_padding) set_null(c);
    store_offset(c);
    ++col_;
  }

  /// Ends the row; the columns it did not reach are padding.
  void end_row();

  /// A whole row: its fields, then padding up to the column count. The same as field() for each
  /// and end_row(), with the checks made once per row.
  void row(std::span<const std::string_view> fields);

  /// A whole row given as the text of a record without quotes: its fields are the runs between
  /// `delimiter` bytes in [begin, end). The tokenizer's quote-free records go here in bulk.
  void delimited_row(const char* begin, const char* end, char delimiter);

  std::size_t columns() const { return columns_; }
  StringType type() const { return options_.type; }
  /// Rows in the current batch.
  std::size_t rows() const { return rows_ + (replay_ ? 1 : 0); }
  /// Data bytes in the current batch, all columns (a row set aside not included).
  std::uint64_t data_bytes() const;
  /// The last row did not fit: finish() must come before the next row.
  bool full() const { return full_; }

  /// Moves the current batch into `out` and starts the next one. Only between rows. Throws
  /// std::bad_alloc before touching `out` if memory runs out.
  void finish(ArrowArray* out);

 private:
  struct Column {
    char* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t capacity = 0;
    void* offsets = nullptr;        // int32_t or int64_t, row_capacity_ + 1 entries
    std::uint8_t* valid = nullptr;  // allocated at the first null, all ones beyond it
    std::int64_t nulls = 0;
  };
  struct CarriedField {
    std::uint64_t size;
    bool null;
  };

  void begin_row() {
    if (full_ || replay_) settle();
    if (rows_ == row_capacity_) grow_rows();
  }
  void store_offset(Column& c) {
    if (large_) {
      static_cast<std::int64_t*>(c.offsets)[rows_ + 1] = static_cast<std::int64_t>(c.size);
    } else {
      static_cast<std::int32_t*>(c.offsets)[rows_ + 1] = static_cast<std::int32_t>(c.size);
    }
  }
  void store_offset_zero(Column& c);
  std::uint64_t offset_at(const Column& c, std::size_t row) const;
  template <class Offset>
  std::size_t append_fields(std::span<const std::string_view> fields);
  void delimited_row_careful(const char* p, const char* end, char delimiter);
  bool append_delimited(std::size_t k, const char* p, const char* stop, const char* end);
  void delimited_row_careful_from(std::size_t k, const char* p, const char* end, char delimiter);
  void set_null(Column& c);
  void carry(const char* data, std::size_t size, bool null);
  void settle();
  void grow_data(Column& c, std::size_t more);
  void grow_rows();
  void start_columns();
  [[noreturn]] static void too_many_fields();
  [[noreturn]] static void batch_full();

  // Spare bytes at the end of a column's data, so that a short field is copied in one move.
  static constexpr std::size_t kCopySlack = 16;

  std::size_t columns_;
  BuilderOptions options_;
  bool large_;
  std::uint64_t limit_;
  std::vector<Column> cols_;
  std::size_t rows_ = 0;
  std::size_t row_capacity_ = 0;
  std::size_t col_ = 0;  // the next field's column within the current row
  // Where the first batch starts, smaller for a wide table.
  std::size_t first_rows_;
  std::uint64_t first_bytes_;
  // Sizes the previous batch reached: where the next one starts.
  std::size_t rows_hint_ = 0;
  std::vector<std::uint64_t> bytes_hint_;
  // The row that did not fit, waiting for the next batch.
  bool carrying_ = false;
  bool full_ = false;
  bool replay_ = false;  // the row set aside is still to go into the (new) batch
  std::string carried_text_;
  std::vector<CarriedField> carried_;
};

}  // namespace quorle::arrow
