// The trial passes of the sniffer and of the column-count inference: field counts of the first
// records that hold something, in a counting pass that builds no field text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quorle::engine {

/// Field counts of the first `limit` records that are not blank, in input order. A record of one
/// field whose text is only white space is blank. The double quote is the quote byte and quote
/// repair is on, whatever the run's options.
std::vector<std::uint64_t> sample_field_counts(std::string_view data, std::uint8_t delimiter,
                                               std::size_t limit);

/// The distinct counts of a sample with their frequencies, in the order of first occurrence.
std::vector<std::pair<std::uint64_t, std::int32_t>> count_frequencies(
    const std::vector<std::uint64_t>& sample);

}  // namespace quorle::engine
