// Row normalisation: every record of a buffer becomes a good row (unchanged, padded or merged) or
// a quarantine entry, with the counters of the run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/records.hpp"

namespace quorle::engine {

/// Settles the delimiter (given or sniffed) and the column count (given or inferred), then sorts
/// every record. The outcome refers to `data`, which must outlive it. Throws std::bad_alloc when
/// memory runs out, and ColumnCountTooLarge, before allocating, when a padded row could not fit
/// in the machine's memory.
BufferOutcome process_buffer(std::string_view data, const RepairOptions& options);

/// A delimiter or quote byte as text: the code point of the same value in UTF-8.
std::string code_point_utf8(std::uint8_t byte);

}  // namespace quorle::engine
