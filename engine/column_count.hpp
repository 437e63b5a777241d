// Column-count inference: the field count that most of the first records share.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorle::engine {

/// The most frequent field count among the first 100 records that are not blank (of equally
/// frequent counts, the one seen first); 0 when there is no such record.
std::uint64_t infer_column_count(std::string_view data, std::uint8_t delimiter);

}  // namespace quorle::engine
