// Decoding for files that are UTF-8 but for a few bytes of a legacy export: each byte of an
// ill-formed sequence is taken as Windows-1252 instead of becoming U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorle::engine {

/// Appends the bytes with well-formed UTF-8 unchanged and every byte of an ill-formed part as
/// its Windows-1252 character (the five bytes that code page leaves undefined as C1 controls).
void append_utf8_or_cp1252(std::string& out, const std::uint8_t* bytes, std::size_t size);

}  // namespace quorle::engine
