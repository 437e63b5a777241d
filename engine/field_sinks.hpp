// Where the tokenizer puts what it finds. The same state machine feeds either a collector, which
// keeps each field's text (as a slice of the input when it can), or a counter, which keeps only
// the number of fields and what the trial passes need to skip blank records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/utf8.hpp"

namespace quorle::engine {

/// A field's text: `length` bytes at `offset` in the input, or in the collector's scratch text.
struct FieldText {
  std::uint64_t offset;
  std::uint64_t length;
  bool in_scratch;
};

/// Keeps the fields of one record. Storage is reused from record to record, so building a record
/// allocates nothing once the buffers have grown to the widest record seen.
class FieldCollector {
 public:
  explicit FieldCollector(std::string_view input)
      : input_(reinterpret_cast<const std::uint8_t*>(input.data())) {}

  void begin_record() {
    fields_.clear();
    scratch_.clear();
    current_ = {0, 0, false};
    valid_utf8_ = true;
  }

  /// Text bytes [offset, offset + length) of the input join the current field.
  void piece(std::size_t offset, std::size_t length) {
    if (length == 0) return;
    if (current_.length == 0 && !current_.in_scratch) {
      current_ = {offset, length, false};
    } else if (!current_.in_scratch && offset == current_.offset + current_.length) {
      current_.length += length;
    } else {
      to_scratch();
      scratch_.append(reinterpret_cast<const char*>(input_ + offset), length);
      current_.length += length;
    }
  }

  /// The current field is complete. `maybe_high` false promises that its bytes are all ASCII.
  void end_field(bool maybe_high) {
    if (maybe_high && current_.length != 0) check_utf8();
    fields_.push_back(current_);
    current_ = {0, 0, false};
  }

  std::size_t field_count() const { return fields_.size(); }
  const std::vector<FieldText>& fields() const { return fields_; }
  /// False when some field held ill-formed UTF-8 and now holds its lossy decoding.
  bool valid_utf8() const { return valid_utf8_; }
  std::string_view text(const FieldText& f) const {
    const char* base =
        f.in_scratch ? scratch_.data() : reinterpret_cast<const char*>(input_);
    return {base + f.offset, static_cast<std::size_t>(f.length)};
  }

 private:
  void to_scratch() {
    if (current_.in_scratch) return;
    const std::size_t at = scratch_.size();
    scratch_.append(reinterpret_cast<const char*>(input_ + current_.offset),
                    static_cast<std::size_t>(current_.length));
    current_ = {at, current_.length, true};
  }

  void check_utf8() {
    const std::string_view t = text(current_);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.data());
    if (is_valid_utf8(bytes, t.size())) return;
    valid_utf8_ = false;
    std::string decoded;
    append_lossy_utf8(decoded, bytes, t.size());
    if (current_.in_scratch) scratch_.resize(static_cast<std::size_t>(current_.offset));
    current_ = {scratch_.size(), decoded.size(), true};
    scratch_.append(decoded);
  }

  const std::uint8_t* input_;
  std::vector<FieldText> fields_;
  std::string scratch_;
  FieldText current_{0, 0, false};
  bool valid_utf8_ = true;
};

/// Counts the fields of one record and decides, for its first field, whether the text is white
/// space only, without keeping any text.
class FieldCounter {
 public:
  explicit FieldCounter(std::string_view input)
      : input_(reinterpret_cast<const std::uint8_t*>(input.data())) {}

  void begin_record() {
    count_ = 0;
    first_.reset();
  }
  void piece(std::size_t offset, std::size_t length) {
    if (count_ == 0 && first_.open()) first_.feed(input_ + offset, length);
  }
  void end_field(bool) { ++count_; }

  std::uint64_t field_count() const { return count_; }
  /// For a record of one field: whether that field's text, once stripped, is empty.
  bool first_field_blank() const { return first_.white_space_only(); }

 private:
  const std::uint8_t* input_;
  std::uint64_t count_ = 0;
  WhiteSpaceTracker first_;
};

}  // namespace quorle::engine
