// Where the tokenizer puts what it finds. The same state machine feeds either a collector, which
// keeps each field's text (as a slice of the input when it can), or a counter, which keeps only
// the number of fields and what the trial passes need to skip blank records.
//
// A sink hears of a field as one `field` call when its text is one run of input bytes, or as
// `piece` calls closed by `end_field` otherwise. A record that holds no quote byte at all arrives
// whole, as one `plain_record` call: its fields are the runs between its delimiters.
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
  bool plain;  ///< known to hold no quote, delimiter, CR or LF: the output need not look for them
};

/// Keeps the fields of one record. Storage is reused from record to record, so building a record
/// allocates nothing once the buffers have grown to the widest record seen.
class FieldCollector {
 public:
  explicit FieldCollector(std::string_view input)
      : input_(reinterpret_cast<const std::uint8_t*>(input.data())) {}

  /// Ill-formed bytes become their Windows-1252 characters instead of U+FFFD (off by default).
  void set_legacy_cp1252(bool on) { legacy_cp1252_ = on; }

  void begin_record() {
    fields_.clear();
    scratch_.clear();
    current_ = {0, 0, false, false};
    valid_utf8_ = true;
    maybe_high_ = false;
    whole_.count = 0;
  }

  /// A whole field: bytes [offset, offset + length) of the input. `maybe_high` false promises
  /// that they are all ASCII.
  void field(std::size_t offset, std::size_t length, bool maybe_high, bool plain) {
    fields_.push_back({offset, length, false, plain});
    maybe_high_ |= maybe_high;
  }

  /// Text bytes [offset, offset + length) of the input join the current field.
  void piece(std::size_t offset, std::size_t length) {
    if (length == 0) return;
    if (current_.length == 0 && !current_.in_scratch) {
      current_ = {offset, length, false, false};
    } else if (!current_.in_scratch && offset == current_.offset + current_.length) {
      current_.length += length;
    } else {
      to_scratch();
      scratch_.append(reinterpret_cast<const char*>(input_ + offset), length);
      current_.length += length;
    }
  }

  /// Forgets the pieces of the current field (its text is read again differently).
  void discard_field() { current_ = {0, 0, false, false}; }
  /// Forgets the record's fields before its end (the record is read again differently).
  void discard_record() {}

  void end_field(bool maybe_high, bool plain) {
    current_.plain = plain;
    fields_.push_back(current_);
    current_ = {0, 0, false, false};
    maybe_high_ |= maybe_high;
  }

  /// The record was bytes [begin, end) of the input. Field texts are checked for well-formed
  /// UTF-8 here. With an ASCII delimiter and quote, once: when the record's own bytes are
  /// well-formed, so is every field, since a field is made of the record's bytes with some ASCII
  /// delimiters, quotes and blanks left out.
  void end_record(std::size_t begin, std::size_t end, bool ascii_syntax) {
    if (!maybe_high_) return;
    if (ascii_syntax && is_valid_utf8(input_ + begin, end - begin)) return;
    for (FieldText& f : fields_) {
      if (f.length != 0) check_utf8(f);
    }
  }

  /// The record is bytes [begin, end) without any quote byte, well-formed UTF-8, split by the
  /// delimiter into `count` fields. They are only split if someone asks for them.
  void plain_record(std::size_t begin, std::size_t end, std::uint64_t count,
                    std::uint8_t delimiter) {
    whole_ = {begin, end, count, delimiter};
  }

  std::uint64_t field_count() const { return whole_.count ? whole_.count : fields_.size(); }
  const std::vector<FieldText>& fields() const {
    if (whole_.count && fields_.empty()) split_whole();
    return fields_;
  }
  /// False when some field held ill-formed UTF-8 and now holds its lossy decoding.
  bool valid_utf8() const { return valid_utf8_; }
  std::string_view text(const FieldText& f) const {
    const char* base = f.in_scratch ? scratch_.data() : reinterpret_cast<const char*>(input_);
    return {base + f.offset, static_cast<std::size_t>(f.length)};
  }

 private:
  void to_scratch() {
    if (current_.in_scratch) return;
    const std::size_t at = scratch_.size();
    scratch_.append(reinterpret_cast<const char*>(input_ + current_.offset),
                    static_cast<std::size_t>(current_.length));
    current_ = {at, current_.length, true, false};
  }

  void check_utf8(FieldText& f);
  void split_whole() const;

  const std::uint8_t* input_;
  mutable std::vector<FieldText> fields_;
  std::string scratch_;  // texts that differ from the input
  FieldText current_{0, 0, false, false};
  bool valid_utf8_ = true;
  bool legacy_cp1252_ = false;
  bool maybe_high_ = false;  // some field may hold bytes of 0x80 and above
  // A plain record that arrived whole (count nonzero): its fields are split only on demand.
  struct Whole {
    std::size_t begin = 0, end = 0;
    std::uint64_t count = 0;
    std::uint8_t delimiter = ',';
  } whole_;
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
  void field(std::size_t offset, std::size_t length, bool, bool) {
    if (count_ == 0) first_.feed(input_ + offset, length);
    ++count_;
  }
  void piece(std::size_t offset, std::size_t length) {
    if (count_ == 0 && first_.open()) first_.feed(input_ + offset, length);
  }
  void discard_field() {
    if (count_ == 0) first_.reset();
  }
  void discard_record() {}
  void end_field(bool, bool) { ++count_; }
  void end_record(std::size_t, std::size_t, bool) {}
  void plain_record(std::size_t begin, std::size_t end, std::uint64_t count, std::uint8_t) {
    count_ = count;
    if (count == 1) first_.feed(input_ + begin, end - begin);
  }

  std::uint64_t field_count() const { return count_; }
  /// For a record of one field: whether that field's text, once stripped, is empty.
  bool first_field_blank() const { return first_.white_space_only(); }

 private:
  const std::uint8_t* input_;
  std::uint64_t count_ = 0;
  WhiteSpaceTracker first_;
};

}  // namespace quorle::engine
