// An output file behind a 256 KiB buffer: a text shorter than 8192 bytes is copied in, and the
// buffer goes out when it is full; a longer text goes out straight after the buffered bytes, in
// as many write calls as the system needs. A large buffer keeps the number of write calls (whose
// cost, not the copying, bounds the speed of writing) low; the 8192-byte line between copied and
// straight texts decides which failure message a write that the system refuses gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

class BufferedWriter {
 public:
  static constexpr std::size_t CAPACITY = 256 * 1024;
  /// Texts of this length or longer are written straight to the file.
  static constexpr std::size_t LONG_TEXT = 8192;

  /// Takes ownership of an open descriptor.
  explicit BufferedWriter(int fd)
      : fd_(fd), buffer_(std::make_unique_for_overwrite<char[]>(CAPACITY)) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  /// Closes as close() does, ignoring its outcome.
  ~BufferedWriter() { (void)close(); }

  std::optional<RescueError> append(std::string_view text) {
    if (text.size() < LONG_TEXT && text.size() <= CAPACITY - used_) {
      copy_in(text);
      return std::nullopt;
    }
    return append_slow(text);
  }
  /// `count` copies of a short text, as `count` appends would write them.
  std::optional<RescueError> append_repeated(std::string_view text, std::uint64_t count);

  /// Writes the buffered bytes out until the buffer is empty.
  std::optional<RescueError> flush();
  /// Flushes once more, ignoring a failure, then closes the file; reports a failure of the close
  /// itself, which is where some file systems report a lost write.
  std::optional<RescueError> close();

 private:
  void copy_in(std::string_view text);
  std::optional<RescueError> append_slow(std::string_view text);
  // Writes a long text straight to the file.
  std::optional<RescueError> write_all(const char* p, std::size_t n);

  int fd_;
  std::size_t used_ = 0;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace quorle::rescue
