// The package pass's field sink: the tokenizer's fields go into the row store as a draft row, so a
// record costs its stored encoding (a few bytes a field) and no list of fields beside it; the pass
// then stores the draft as it is, fitted to the column count, or drops it. A record without any
// quote arrives whole, as its span, and is only split where a fit needs it. Fields wait in a small
// fixed list before they are drafted: most records that hold quotes are stored as their verbatim
// span and then never drafted at all, and a wide record goes on to the draft a list at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/records.hpp"
#include "engine/row_store.hpp"

namespace quorle::engine {

class RowDraft {
 public:
  /// Drafts into `store`, whose rows refer to `input`.
  RowDraft(RowStore& store, std::string_view input)
      : store_(store), input_(reinterpret_cast<const std::uint8_t*>(input.data())) {}

  /// Ill-formed bytes become their Windows-1252 characters instead of U+FFFD (off by default).
  void set_legacy_cp1252(bool on) { legacy_cp1252_ = on; }

  // The tokenizer's side, as FieldCollector's (field_sinks.hpp).
  void begin_record() {
    drafted_ = false;
    pending_count_ = 0;
    count_ = 0;
    whole_ = false;
    valid_utf8_ = true;
    maybe_high_ = false;
    piece_length_ = 0;
    in_arena_ = false;
  }
  void plain_record(std::size_t begin, std::size_t end, std::uint64_t count,
                    std::uint8_t delimiter) {
    whole_ = true;
    begin_ = begin;
    end_ = end;
    count_ = count;
    delimiter_ = delimiter;
  }
  void field(std::size_t offset, std::size_t length, bool maybe_high, bool plain) {
    add_pending(offset, length, plain, false);
    maybe_high_ |= maybe_high;
  }
  void piece(std::size_t offset, std::size_t length) {
    if (length == 0) return;
    if (!in_arena_) {
      if (piece_length_ == 0) {
        piece_offset_ = offset;
        piece_length_ = length;
        return;
      }
      if (offset == piece_offset_ + piece_length_) {
        piece_length_ += length;
        return;
      }
      // Text that differs from the input goes to the arena, the run so far first.
      begin_draft();
      store_.begin_text();
      store_.append_text(input_text(piece_offset_, piece_length_));
      in_arena_ = true;
    }
    store_.append_text(input_text(offset, length));
  }
  void discard_field() {
    if (in_arena_) store_.drop_text();
    in_arena_ = false;
    piece_length_ = 0;
  }
  void discard_record() { drop(); }
  void end_field(bool maybe_high, bool plain) {
    if (in_arena_) {
      add_pending(0, store_.text_length(), plain, true);
    } else {
      add_pending(piece_offset_, piece_length_, plain, false);
    }
    in_arena_ = false;
    piece_length_ = 0;
    maybe_high_ |= maybe_high;
  }
  /// Field texts are checked for well-formed UTF-8 here, as FieldCollector checks them.
  void end_record(std::size_t begin, std::size_t end, bool ascii_syntax);
  /// False when some field held ill-formed UTF-8 and now holds its decoding.
  bool valid_utf8() const { return valid_utf8_; }

  // The pass's side. Each record ends in exactly one of drop and the commits.
  std::uint64_t field_count() const { return count_; }
  /// Whether every field from `index` on is empty.
  bool empty_from(std::uint64_t index);
  /// Whether the record's fields are exactly `texts`. Costs no drafting when they are not: a
  /// record whose first field differs is told apart at once.
  bool fields_are(const Row& texts);
  /// The record's field texts.
  Row texts();
  /// Forgets the record's fields: it is stored otherwise, or not at all.
  void drop() {
    pending_count_ = 0;
    if (drafted_) store_.drop_draft();
  }
  /// Stores the record as a built row with `padding` empty fields after it.
  void commit(std::uint64_t padding);
  /// Stores only its first `count` fields.
  void commit_first(std::uint64_t count);
  /// Stores `columns` fields: the last one is the record's fields from that column on, joined by
  /// `joiner`.
  void commit_merged(std::uint64_t columns, std::string_view joiner);

 private:
  // A field on its way to the draft: a text in the input, or the next one appended to the arena.
  struct Pending {
    std::uint64_t offset;
    std::uint64_t length;
    bool plain;
    bool in_arena;
  };
  static constexpr std::size_t PENDING = 512;

  void add_pending(std::size_t offset, std::size_t length, bool plain, bool in_arena) {
    if (pending_count_ == PENDING) draft_pending();
    pending_[pending_count_++] = {offset, length, plain, in_arena};
    ++count_;
  }
  // The store's draft begins with the record's first text in the arena or its first field drafted:
  // a record stored otherwise costs the store nothing.
  void begin_draft() {
    if (drafted_) return;
    store_.begin_draft();
    drafted_ = true;
  }
  // Drafts the fields that wait.
  void draft_pending();

  std::string_view input_text(std::size_t offset, std::size_t length) const {
    return {reinterpret_cast<const char*>(input_) + offset, length};
  }
  // A record that arrived whole gets its first `count` fields drafted from its bytes; returns
  // where the next field begins.
  std::size_t draft_whole_fields(std::uint64_t count);
  // A cursor standing after the draft's first `count` fields.
  RowStore::Cursor after_fields(std::uint64_t count);
  // Appends the lossy (or Windows-1252) decoding of the bytes to the open arena text.
  void append_decoded(const std::uint8_t* bytes, std::size_t size);
  void redraft_decoded();

  RowStore& store_;
  const std::uint8_t* input_;
  bool legacy_cp1252_ = false;
  std::uint64_t count_ = 0;
  bool drafted_ = false;
  bool valid_utf8_ = true;
  bool maybe_high_ = false;  // some field may hold bytes of 0x80 and above
  // The field being pieced together: a run of input, or a text open in the arena.
  std::size_t piece_offset_ = 0;
  std::size_t piece_length_ = 0;
  bool in_arena_ = false;
  // A record that arrived whole: its span and delimiter.
  bool whole_ = false;
  std::size_t begin_ = 0, end_ = 0;
  std::uint8_t delimiter_ = ',';
  std::string decoded_;  // a piece of decoded text on its way to the arena
  std::size_t pending_count_ = 0;
  Pending pending_[PENDING];
};

}  // namespace quorle::engine
