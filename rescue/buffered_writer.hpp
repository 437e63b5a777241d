// An output file behind a buffer, for both layers: a text shorter than the shape's long-text
// length is copied in and the buffer goes out when it is full; a longer text goes out straight
// after the buffered bytes, in as many write calls as the system needs. A large buffer keeps the
// number of write calls (whose cost, not the copying, bounds the speed of writing) low.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

/// How a BufferedWriter buffers and writes.
struct BufferShape {
  std::size_t capacity;
  /// Texts of this length or longer are written straight to the file.
  std::size_t long_text;
  /// The most one write call is asked to write.
  std::size_t largest_write;
  /// What a failed flush could not write stays buffered, for the closing flush to try once
  /// more; otherwise it is dropped.
  bool keep_unwritten;
  /// The writer closes the descriptor.
  bool owns_fd;
};

/// The backend's: 256 KiB, and the 8192-byte line between copied and straight texts decides
/// which failure message a write that the system refuses gives.
inline constexpr BufferShape BACKEND_BUFFER{256 * 1024, 8192, ~std::size_t{0}, true, true};
/// The package's: 1 MiB, texts that do not fit go out straight, writes of 1 GiB at most, and
/// the caller's descriptor.
inline constexpr BufferShape PACKAGE_BUFFER{std::size_t{1} << 20, std::size_t{1} << 20,
                                            std::size_t{1} << 30, false, false};

class BufferedWriter {
 public:
  static constexpr std::size_t CAPACITY = BACKEND_BUFFER.capacity;
  static constexpr std::size_t LONG_TEXT = BACKEND_BUFFER.long_text;

  /// Takes ownership of an open descriptor when the shape says so.
  explicit BufferedWriter(int fd, const BufferShape& shape = BACKEND_BUFFER)
      : fd_(fd), shape_(shape), buffer_(std::make_unique_for_overwrite<char[]>(shape.capacity)) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  /// Closes an owned descriptor as close() does, ignoring its outcome.
  ~BufferedWriter() {
    if (shape_.owns_fd) (void)close();
  }

  std::optional<RescueError> append(std::string_view text) {
    if (text.size() < shape_.long_text && text.size() <= shape_.capacity - used_) {
      copy_in(text);
      return std::nullopt;
    }
    return append_slow(text);
  }
  /// `count` copies of a short text, as `count` appends would write them.
  std::optional<RescueError> append_repeated(std::string_view text, std::uint64_t count);

  /// Copies `length` bytes at `offset` of another file after what is buffered, inside the
  /// kernel. False with no error when the system cannot copy between these two files.
  bool copy_from(int fd, std::uint64_t offset, std::size_t length,
                 std::optional<RescueError>& error);

  /// Bytes handed to the file or the buffer so far.
  std::uint64_t written() const { return written_ + used_; }

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
  BufferShape shape_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace quorle::rescue
