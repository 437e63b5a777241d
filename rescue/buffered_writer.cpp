#include "rescue/buffered_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorle::rescue {

void BufferedWriter::copy_in(std::string_view text) {
  std::memcpy(buffer_.get() + used_, text.data(), text.size());
  used_ += text.size();
}

std::optional<RescueError> BufferedWriter::append_slow(std::string_view text) {
  if (auto error = flush()) return error;
  if (text.size() < LONG_TEXT) {
    copy_in(text);
    return std::nullopt;
  }
  return write_all(text.data(), text.size());
}

std::optional<RescueError> BufferedWriter::append_repeated(std::string_view text,
                                                           std::uint64_t count) {
  if (text.size() == 1) {  // a padding run of one-byte delimiters: fill the buffer a run at once
    while (count > 0) {
      if (used_ == CAPACITY) {
        if (auto error = flush()) return error;
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, CAPACITY - used_));
      std::memset(buffer_.get() + used_, text[0], n);
      used_ += n;
      count -= n;
    }
    return std::nullopt;
  }
  for (; count > 0; --count) {
    if (auto error = append(text)) return error;
  }
  return std::nullopt;
}

std::optional<RescueError> BufferedWriter::flush() {
  std::size_t done = 0;
  std::optional<RescueError> error;
  while (done < used_) {
    const ssize_t wrote = ::write(fd_, buffer_.get() + done, used_ - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      error = os_error(errno);
      break;
    }
    if (wrote == 0) {
      error = plain_error("failed to write the buffered data");
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  // What did not go out stays buffered, for the closing flush to try once more.
  std::memmove(buffer_.get(), buffer_.get() + done, used_ - done);
  used_ -= done;
  return error;
}

std::optional<RescueError> BufferedWriter::write_all(const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t wrote = ::write(fd_, p, n);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (wrote == 0) return plain_error("failed to write whole buffer");
    p += wrote;
    n -= static_cast<std::size_t>(wrote);
  }
  return std::nullopt;
}

std::optional<RescueError> BufferedWriter::close() {
  if (fd_ < 0) return std::nullopt;
  (void)flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
  return std::nullopt;
}

}  // namespace quorle::rescue
