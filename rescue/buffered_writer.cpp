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
  if (text.size() < shape_.long_text) {
    copy_in(text);
    return std::nullopt;
  }
  return write_all(text.data(), text.size());
}

std::optional<RescueError> BufferedWriter::append_repeated(std::string_view text,
                                                           std::uint64_t count) {
  if (text.size() == 1) {  // a padding run of one-byte delimiters: fill the buffer a run at once
    while (count > 0) {
      if (used_ == shape_.capacity) {
        if (auto error = flush()) return error;
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, shape_.capacity - used_));
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
    const ssize_t wrote =
        ::write(fd_, buffer_.get() + done, std::min(used_ - done, shape_.largest_write));
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
    written_ += static_cast<std::uint64_t>(wrote);
  }
  if (!shape_.keep_unwritten) done = used_;
  // What did not go out stays buffered, for the closing flush to try once more.
  std::memmove(buffer_.get(), buffer_.get() + done, used_ - done);
  used_ -= done;
  return error;
}

std::optional<RescueError> BufferedWriter::write_all(const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t wrote = ::write(fd_, p, std::min(n, shape_.largest_write));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (wrote == 0) return plain_error("failed to write whole buffer");
    p += wrote;
    n -= static_cast<std::size_t>(wrote);
    written_ += static_cast<std::uint64_t>(wrote);
  }
  return std::nullopt;
}

bool BufferedWriter::copy_from(int fd, std::uint64_t offset, std::size_t length,
                               std::optional<RescueError>& error) {
  if ((error = flush())) return true;
  auto from = static_cast<off_t>(offset);
  while (length > 0) {
    const ssize_t got = ::copy_file_range(fd, &from, fd_, nullptr, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
          errno != EOPNOTSUPP && errno != EBADF) {
        error = os_error(errno);
        return true;
      }
      if (offset == static_cast<std::uint64_t>(from)) return false;  // nothing copied yet
      error = plain_error("the input file changed while it was copied");
      return true;
    }
    length -= static_cast<std::size_t>(got);
    written_ += static_cast<std::uint64_t>(got);
  }
  return true;
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
