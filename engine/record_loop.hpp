// The record loop both passes run: the backend's rules and the package's policy are two sets of
// hooks on it.
#pragma once

#include <cstdint>

#include "engine/tokenizer.hpp"

namespace quorle::engine {

/// Reads every record of the tokenizer's input into `record` and hands it to `hooks`:
/// - `bool skip(RecordTokenizer&, std::uint64_t line)` before each record: true when the hook
///   passed over a line itself (a comment) instead of a record being read;
/// - `void take(Record&, const RecordSpan&, std::uint64_t first_line, std::uint64_t last_line)`;
/// - `bool go_on(std::uint64_t position)` after each: false abandons the loop.
/// Returns false when abandoned.
template <class Record, class Hooks>
bool read_records(RecordTokenizer& tokenizer, Record& record, Hooks&& hooks) {
  std::uint64_t first = tokenizer.line();
  for (;;) {
    if (!hooks.skip(tokenizer, first)) {
      if (!tokenizer.next(record)) return true;
      const RecordSpan& span = tokenizer.last_span();
      // The line on which the record ends: the counter already counts a consumed line break.
      const std::uint64_t last = tokenizer.line() - (span.ended_with_break ? 1 : 0);
      hooks.take(record, span, first, last);
    }
    first = tokenizer.line();
    if (!hooks.go_on(tokenizer.position())) return false;
  }
}

}  // namespace quorle::engine
