// The package's pass over a buffer on several threads, with the outcome of the pass on one.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/report_pass.hpp"

namespace quorle::engine {

struct ParallelPlan {
  /// Threads sorting parts of the input; 1: the pass on the calling thread alone.
  unsigned threads = 1;
  /// Bytes of input a part starts after the one before it (tests use a few bytes).
  std::uint64_t part_bytes = std::uint64_t{16} << 20;
  /// Bytes past its stop that a part sorted ahead may read (its last record's); a part whose
  /// record goes further is sorted again in turn. 0: part_bytes, at least 64 KiB. So that a
  /// quoted field running to the end is not scanned by every part before it.
  std::uint64_t reach = 0;
};

/// report_pass with its outcome, hand-overs aside, exactly the same: the header and count are
/// settled on the calling thread, then parts of the rest are sorted on `plan.threads` threads,
/// each from the first line start after its nominal start as if a record started there, and put
/// together in input order; a part that did not start where the one before it ended is sorted
/// again from there. Rows are handed over a part at a time (every part's, with `hand_over`);
/// `progress` and `hand_over` are called on the calling thread only.
bool report_pass_parallel(std::string_view data, const ReportPassOptions& options,
                          ReportPassOutcome& out, const ParallelPlan& plan,
                          const Progress& progress = {}, std::uint64_t progress_step = 64u << 20,
                          const HandOverRows& hand_over = {},
                          std::uint64_t handover_step = 8u << 20);

}  // namespace quorle::engine
