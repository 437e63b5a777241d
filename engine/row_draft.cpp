#include "engine/row_draft.hpp"

#include <cstring>

#include "engine/invariant.hpp"
#include "engine/legacy_bytes.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"

namespace quorle::engine {

bool RecordTokenizer::next(RowDraft& sink) {
  return read<true>(sink);
}

namespace {

// Decoded text goes to the arena in pieces of about this many input bytes, so that a huge field
// never has a second whole copy on the way.
constexpr std::size_t DECODE_PIECE = std::size_t{1} << 20;

bool is_continuation(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

}  // namespace

void RowDraft::draft_pending() {
  begin_draft();
  for (std::size_t i = 0; i < pending_count_; ++i) {
    const Pending& f = pending_[i];
    if (f.in_arena) {
      store_.add_arena_field(f.length, f.plain);
    } else {
      store_.add_input_field(f.offset, f.length, f.plain);
    }
  }
  pending_count_ = 0;
}

RowStore::Cursor RowDraft::after_fields(std::uint64_t count) {
  draft_pending();
  RowStore::Cursor cursor = store_.cursor();
  cursor.seek(store_.draft_start());
  for (std::uint64_t i = 0; i < count; ++i)
    (void)cursor.next_field();
  return cursor;
}

bool RowDraft::empty_from(std::uint64_t index) {
  if (index >= count_) return true;
  if (whole_) {  // the bytes after the index-th delimiter must all be delimiters
    const std::uint8_t* p = input_ + begin_;
    const std::uint8_t* const end = input_ + end_;
    for (std::uint64_t i = 0; i < index; ++i)
      p = static_cast<const std::uint8_t*>(std::memchr(p, delimiter_, end - p)) + 1;
    for (; p < end; ++p) {
      if (*p != delimiter_) return false;
    }
    return true;
  }
  RowStore::Cursor cursor = after_fields(index);
  for (std::uint64_t i = index; i < count_; ++i) {
    if (!cursor.next_field().text.empty()) return false;
  }
  return true;
}

bool RowDraft::fields_are(const Row& texts) {
  if (count_ != texts.size()) return false;
  if (whole_) {
    const auto* text = reinterpret_cast<const char*>(input_);
    std::size_t p = begin_;
    for (const std::string& t : texts) {
      const void* hit = std::memchr(input_ + p, delimiter_, end_ - p);
      const std::size_t stop = hit ? static_cast<const std::uint8_t*>(hit) - input_ : end_;
      if (std::string_view(text + p, stop - p) != t) return false;
      p = stop + 1;
    }
    return true;
  }
  if (!drafted_) {  // nothing in the arena yet: every field waits as a run of the input
    for (std::size_t i = 0; i < pending_count_; ++i) {
      QUORLE_DCHECK(!pending_[i].in_arena);
      if (input_text(pending_[i].offset, pending_[i].length) != texts[i]) return false;
    }
    return true;
  }
  RowStore::Cursor cursor = after_fields(0);
  for (const std::string& t : texts) {
    if (cursor.next_field().text != t) return false;
  }
  return true;
}

Row RowDraft::texts() {
  Row out;
  out.reserve(count_);
  if (whole_) {
    const auto* text = reinterpret_cast<const char*>(input_);
    std::size_t p = begin_;
    for (std::uint64_t i = 0; i < count_; ++i) {
      const void* hit = std::memchr(input_ + p, delimiter_, end_ - p);
      const std::size_t stop = hit ? static_cast<const std::uint8_t*>(hit) - input_ : end_;
      out.emplace_back(text + p, stop - p);
      p = stop + 1;
    }
    return out;
  }
  RowStore::Cursor cursor = after_fields(0);
  for (std::uint64_t i = 0; i < count_; ++i)
    out.emplace_back(cursor.next_field().text);
  return out;
}

std::size_t RowDraft::draft_whole_fields(std::uint64_t count) {
  begin_draft();
  std::size_t p = begin_;
  for (std::uint64_t i = 0; i < count; ++i) {
    const void* hit = std::memchr(input_ + p, delimiter_, end_ - p);
    const std::size_t stop = hit ? static_cast<const std::uint8_t*>(hit) - input_ : end_;
    store_.add_input_field(p, stop - p, true);
    p = stop + 1;
  }
  return p;
}

void RowDraft::commit(std::uint64_t padding) {
  if (whole_) draft_whole_fields(count_);
  draft_pending();
  store_.commit_draft(count_, padding);
}

void RowDraft::commit_first(std::uint64_t count) {
  QUORLE_DCHECK(count <= count_);
  if (whole_) {
    draft_whole_fields(count);
  } else {
    store_.cut_draft(after_fields(count).position());
  }
  store_.commit_draft(count, 0);
}

void RowDraft::commit_merged(std::uint64_t columns, std::string_view joiner) {
  QUORLE_DCHECK(columns >= 1 && columns <= count_);
  if (whole_) {
    // No quote and an ASCII delimiter: the joined fields are the input from the last column on.
    QUORLE_DCHECK(joiner.size() == 1 && static_cast<std::uint8_t>(joiner[0]) == delimiter_);
    const std::size_t tail = draft_whole_fields(columns - 1);
    store_.add_input_field(tail, end_ - tail, false);
  } else {
    store_.merge_draft_from(after_fields(columns - 1).position(), joiner);
  }
  store_.commit_draft(columns, 0);
}

void RowDraft::end_record(std::size_t begin, std::size_t end, bool ascii_syntax) {
  if (!maybe_high_) return;
  // With an ASCII delimiter and quote a well-formed record has well-formed fields, each made of
  // its bytes with some ASCII delimiters, quotes and blanks left out.
  if (ascii_syntax && is_valid_utf8(input_ + begin, end - begin)) return;
  RowStore::Cursor cursor = after_fields(0);
  for (std::uint64_t i = 0; i < count_; ++i) {
    const std::string_view t = cursor.next_field().text;
    if (!t.empty() && !is_valid_utf8(reinterpret_cast<const std::uint8_t*>(t.data()), t.size())) {
      valid_utf8_ = false;
      return redraft_decoded();
    }
  }
}

// Drafts the record again with each ill-formed field decoded. Rare: it goes through a copy of
// the draft.
void RowDraft::redraft_decoded() {
  RowStore copy(store_.input(), store_.delimiter(), store_.quote());
  copy.begin_draft();
  RowStore::Cursor from = after_fields(0);
  const auto* base = reinterpret_cast<const char*>(input_);
  for (std::uint64_t i = 0; i < count_; ++i) {
    const StoredField f = from.next_field();
    if (f.in_arena) {
      copy.add_text_field(f.text, f.plain);
    } else {
      copy.add_input_field(f.text.data() - base, f.text.size(), f.plain);
    }
  }
  store_.cut_draft(store_.draft_start());
  from = copy.cursor();
  from.seek(copy.draft_start());
  for (std::uint64_t i = 0; i < count_; ++i) {
    const StoredField f = from.next_field();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(f.text.data());
    if (!f.text.empty() && !is_valid_utf8(bytes, f.text.size())) {
      store_.begin_text();
      append_decoded(bytes, f.text.size());
      store_.end_text(f.plain);  // decoding adds no quote, delimiter, CR or LF
    } else if (f.in_arena) {
      store_.add_text_field(f.text, f.plain);
    } else {
      store_.add_input_field(f.text.data() - base, f.text.size(), f.plain);
    }
  }
}

void RowDraft::append_decoded(const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    std::size_t take = size;
    if (take > DECODE_PIECE) {
      // Cut before a byte that no sequence begun earlier takes in: one that is no continuation
      // byte; or, when the four bytes up to the cut all are, right there (a sequence spanning the
      // cut would have to start among them).
      take = DECODE_PIECE;
      for (std::size_t back = 0; back < 4; ++back) {
        if (!is_continuation(bytes[DECODE_PIECE - back])) {
          take = DECODE_PIECE - back;
          break;
        }
      }
    }
    decoded_.clear();
    if (legacy_cp1252_) {
      append_utf8_or_cp1252(decoded_, bytes, take);
    } else {
      append_lossy_utf8(decoded_, bytes, take);
    }
    store_.append_text(decoded_);
    bytes += take;
    size -= take;
  }
}

}  // namespace quorle::engine
