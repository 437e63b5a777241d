// Column-count inference: the field count that most of the first records share.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorle::engine {

/// The most frequent field count among the first 100 records that are not blank (of equally
/// frequent counts, the one seen first); 0 when there is no such record.
std::uint64_t infer_column_count(std::string_view data, std::uint8_t delimiter);

/// The most frequent count of a sample (of equally frequent counts, the one seen first); 0 for
/// an empty sample.
std::uint64_t most_frequent_count(const std::vector<std::uint64_t>& sample);

}  // namespace quorle::engine
