// UTF-8 for field texts: validation with an ASCII fast path, lossy decoding that replaces each
// maximal ill-formed subpart with U+FFFD, and the White_Space test of the trial passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorle::engine {

inline constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

/// True when every byte is below 0x80.
bool is_ascii(const std::uint8_t* bytes, std::size_t size);

/// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(const std::uint8_t* bytes, std::size_t size);
/// The same, one character at a time: the reference the vector checks are tested against.
bool is_valid_utf8_bytewise(const std::uint8_t* bytes, std::size_t size);

/// Appends the bytes decoded lossily: well-formed sequences unchanged, each maximal ill-formed
/// subpart as one U+FFFD.
void append_lossy_utf8(std::string& out, const std::uint8_t* bytes, std::size_t size);

/// Length of the well-formed sequence starting at `bytes` (1 to 4), or minus the length of its
/// maximal ill-formed subpart (-1 to -3). `size` must be at least 1.
int utf8_sequence_at(const std::uint8_t* bytes, std::size_t size);

/// True when the text (well-formed UTF-8) holds only White_Space characters, or nothing.
bool is_white_space_only(std::string_view text);

/// The same decision as is_white_space_only over the lossy decoding of a byte string that arrives
/// in pieces: any ill-formed part decodes to U+FFFD, which is not white space.
class WhiteSpaceTracker {
 public:
  void reset() {
    failed_ = false;
    pending_ = 0;
  }
  /// Still possibly white space only; once false, further bytes need not be fed.
  bool open() const { return !failed_; }
  void feed(const std::uint8_t* bytes, std::size_t size);
  bool white_space_only() const { return !failed_ && pending_ == 0; }

 private:
  bool failed_ = false;
  std::uint8_t pending_ = 0;  // bytes of an unfinished multi-byte character
  std::uint8_t lead_[3] = {};
};

}  // namespace quorle::engine
