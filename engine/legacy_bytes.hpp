// Decoding for files that are UTF-8 but for a few bytes of a legacy export: each byte of an
// ill-formed sequence is taken as Windows-1252 instead of becoming U+FFFD. And the evidence for
// that reading: well-formed sequences on lines of their own are real UTF-8, since a legacy
// export's bytes almost never pair up into valid sequences for a whole line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorle::engine {

/// Appends the bytes with well-formed UTF-8 unchanged and every byte of an ill-formed part as
/// its Windows-1252 character (the five bytes that code page leaves undefined as C1 controls).
void append_utf8_or_cp1252(std::string& out, const std::uint8_t* bytes, std::size_t size);

/// What a buffer says about UTF-8. A line ends at LF or CR.
struct Utf8Evidence {
  std::uint64_t clean = 0;    ///< well-formed multi-byte sequences on lines with no ill-formed byte
  std::uint64_t mixed = 0;    ///< well-formed multi-byte sequences on lines with ill-formed bytes
  std::uint64_t invalid = 0;  ///< bytes of ill-formed parts (each maximal subpart counted whole)
  std::uint64_t first_invalid = UINT64_MAX;  ///< offset of the first ill-formed byte
};

/// Counts the evidence of one buffer scanned in consecutive ranges (so that the caller can look
/// at signals in between); a sequence may run past the end of a range.
class Utf8EvidenceScan {
 public:
  /// Scans `bytes[at..]` up to at least `stop` (at most `size`); returns where it stopped. With
  /// `final` false, a sequence cut by the end of the buffer is left out, not counted as invalid.
  std::size_t scan(const std::uint8_t* bytes, std::size_t size, std::size_t at, std::size_t stop,
                   bool final);
  /// The counts, the last line closed.
  Utf8Evidence finish();

 private:
  // Checked as a whole; only a block found ill-formed is read character by character.
  static constexpr std::size_t CHECKED_BLOCK = 1024;

  std::size_t scan_bytes(const std::uint8_t* bytes, std::size_t size, std::size_t at,
                         std::size_t stop, bool final);
  /// Counts a well-formed block holding `leads` multi-byte characters.
  void count_valid(const std::uint8_t* bytes, std::size_t size, std::uint64_t leads);
  void end_line();

  Utf8Evidence counts_;
  std::uint64_t line_sequences_ = 0;  // on the open line
  bool line_invalid_ = false;
};

}  // namespace quorle::engine
