// Bulk scanning: the tokenizer looks at the buffer 64 bytes at a time, as bit masks of the bytes
// that its rules care about, so that runs of ordinary bytes cost a few instructions per block
// instead of a branch per byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/block_masks.hpp"

namespace quorle::engine {

/// What a run of plain text held: a record that has no quote byte before its line break.
struct PlainRun {
  std::size_t end;           ///< offset of the line break, or the buffer size
  std::uint64_t delimiters;  ///< delimiter bytes before it
  bool high;                 ///< some byte of 0x80 or above before it
};

/// Walks a buffer forward block by block, keeping the masks of the current block.
class BlockScanner {
 public:
  BlockScanner(const std::uint8_t* data, std::size_t size, std::uint8_t delimiter,
               std::uint8_t quote)
      : data_(data),
        size_(size),
        delimiter_(delimiter),
        quote_(quote),
        classify_(best_block_classifier()) {}

  /// First offset at or after `p` holding the delimiter, the quote, CR or LF; the size if none.
  std::size_t next_special(std::size_t p) {
    const std::uint64_t keep = at(p);  // loads the block before its masks are read
    std::uint64_t m = (masks_.delimiter | masks_.stop) & keep;
    while (m == 0) {
      if (!advance()) return size_;
      m = masks_.delimiter | masks_.stop;
    }
    return base_ + static_cast<std::size_t>(std::countr_zero(m));
  }

  /// First offset at or after `p` holding the quote byte; the size if none. Counts the LF bytes
  /// it passes, and notes whether it passed a delimiter, CR or LF, and whether a CR.
  std::size_t next_quote(std::size_t p, std::uint64_t& lf_passed, bool& special_passed,
                         bool& cr_passed) {
    std::uint64_t keep = at(p);
    for (;;) {
      std::uint64_t stops = masks_.stop & keep;
      while (stops) {
        const std::size_t at_stop = base_ + static_cast<std::size_t>(std::countr_zero(stops));
        const std::uint8_t c = data_[at_stop];
        if (c == quote_) {
          const std::uint64_t before = (stops & -stops) - 1;
          special_passed |= (masks_.delimiter & keep & before) != 0;
          return at_stop;
        }
        lf_passed += c == '\n';
        cr_passed |= c == '\r';
        special_passed = true;
        stops &= stops - 1;
      }
      special_passed |= (masks_.delimiter & keep) != 0;
      if (!advance()) return size_;
      keep = ~std::uint64_t{0};
    }
  }

  /// Scans a would-be plain record from `p` to its line break. False when a quote byte comes
  /// first: the record then needs the full rules.
  bool plain_run(std::size_t p, PlainRun& run) {
    std::uint64_t keep = at(p);
    run.delimiters = 0;
    run.high = false;
    for (;;) {
      const std::uint64_t stops = masks_.stop & keep;
      const std::uint64_t in_run = keep & (stops ? (stops & -stops) - 1 : ~std::uint64_t{0});
      run.delimiters += static_cast<std::uint64_t>(std::popcount(masks_.delimiter & in_run));
      run.high |= (masks_.high & in_run) != 0;
      if (stops) {
        run.end = base_ + static_cast<std::size_t>(std::countr_zero(stops));
        return data_[run.end] != quote_;
      }
      if (!advance()) {
        run.end = size_;
        return true;
      }
      keep = ~std::uint64_t{0};
    }
  }

  /// Plain fields in bulk: from offset `from` to the next quote, CR or LF, every delimiter ends a
  /// field. `open` is the start of the field open at `from`; each field that a delimiter ends is
  /// passed to on_field(start, length), and `open` becomes the start of the next. Returns the
  /// offset of the quote, CR or LF (the size at the end).
  template <class OnField>
  std::size_t plain_fields(std::size_t from, std::size_t& open, OnField&& on_field) {
    std::uint64_t keep = at(from);
    for (;;) {
      const std::uint64_t stops = masks_.stop & keep;
      std::uint64_t ends =
          masks_.delimiter & keep & (stops ? (stops & -stops) - 1 : ~std::uint64_t{0});
      while (ends) {
        const std::size_t end = base_ + static_cast<std::size_t>(std::countr_zero(ends));
        on_field(open, end - open);
        open = end + 1;
        ends &= ends - 1;
      }
      if (stops) return base_ + static_cast<std::size_t>(std::countr_zero(stops));
      if (!advance()) return size_;
      keep = ~std::uint64_t{0};
    }
  }

  /// Sticky flag: a byte of 0x80 or above may have been passed since the last clear. False
  /// means certainly none.
  bool high_passed() const { return high_passed_; }
  /// Starts the flag afresh at offset `from`, which then lies in the current block.
  void clear_high_passed(std::size_t from) {
    (void)at(from);
    const std::size_t rel = from - base_;
    high_passed_ = rel < 64 && (masks_.high >> rel) != 0;
  }
  void note(std::uint8_t byte) { high_passed_ |= byte >= 0x80; }

 private:
  // Makes the block holding p current; returns the mask of its bits from p on (0 past the end).
  std::uint64_t at(std::size_t p) {
    std::size_t rel = p - base_;  // wraps to a huge value when p lies before the block
    if (rel >= 64) {
      if (p >= size_) {
        masks_ = BlockMasks{};
        base_ = p & ~std::size_t{63};
        return 0;
      }
      load(p & ~std::size_t{63});
      rel = p - base_;
    }
    return ~std::uint64_t{0} << rel;
  }

  bool advance() {
    const std::size_t next = base_ + 64;
    if (next >= size_) return false;
    load(next);
    return true;
  }

  void load(std::size_t base) {
    base_ = base;
    const std::uint8_t* src = data_ + base;
    alignas(64) std::uint8_t tail[64];
    const std::size_t valid = size_ - base;
    if (valid < 64) {  // the last, partial block: copy it so that no load reads past the end
      std::memcpy(tail, src, valid);
      std::memset(tail + valid, 0, 64 - valid);
      src = tail;
    }
    BlockMasks m = classify_(src, delimiter_, quote_);
    if (valid < 64) {
      const std::uint64_t keep = (std::uint64_t{1} << valid) - 1;
      m.delimiter &= keep;
      m.stop &= keep;
      m.high &= keep;
    }
    masks_ = m;
    high_passed_ |= m.high != 0;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  ClassifyBlock classify_;
  std::size_t base_ = static_cast<std::size_t>(-128);  // no block loaded yet
  BlockMasks masks_;
  bool high_passed_ = false;
};

}  // namespace quorle::engine
