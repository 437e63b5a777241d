// The delimiter sniffer: which of comma, semicolon, tab and vertical bar a text most likely uses.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorle::engine {

/// Rewards the candidate whose first records agree on one field count, and on a larger one.
/// Always returns one of ',', ';', '\t', '|'; the comma when nothing scores above zero.
std::uint8_t sniff_delimiter(std::string_view data);

}  // namespace quorle::engine
