// An output file behind an 8192-byte buffer: a text that fits is copied in; a longer one goes
// out after the buffered bytes, in as many write calls as the system needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

class BufferedWriter {
 public:
  static constexpr std::size_t CAPACITY = 8192;

  /// Takes ownership of an open descriptor.
  explicit BufferedWriter(int fd) : fd_(fd) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  /// Closes as close() does, ignoring its outcome.
  ~BufferedWriter() { (void)close(); }

  std::optional<RescueError> append(std::string_view text) {
    if (text.size() <= CAPACITY - used_) {
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
  char buffer_[CAPACITY];
};

}  // namespace quorle::rescue
