#include "rescue/input_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

namespace quorle::rescue {
namespace {

// Closes a descriptor when the reading is over, whatever the way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::variant<std::vector<char>, RescueError> read_to_end(int fd, std::size_t size_hint) {
  std::vector<char> content;
  // One byte beyond the expected size, so that the final read that finds the end needs no growth.
  content.resize(size_hint > 0 ? size_hint + 1 : 64 * 1024);
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t got = ::read(fd, content.data() + used, content.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  content.resize(used);
  content.shrink_to_fit();
  return content;
}

// Reads a regular file of known size into fresh private memory, in large calls.
std::variant<void*, RescueError> copy_file(int fd, std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::madvise(p, size, MADV_HUGEPAGE);
  auto* out = static_cast<char*>(p);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out + got, std::min<std::size_t>(size - got, 1u << 30),
                              static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = n < 0 ? errno : 0;
      ::munmap(p, size);
      if (code) return os_error(code);
      return plain_error("the file became shorter while it was read");
    }
    got += static_cast<std::size_t>(n);
  }
  return p;
}

}  // namespace

std::variant<InputFile, RescueError> InputFile::read(const std::string& path, Access access) {
  if (path.find('\0') != std::string::npos) return plain_error(NUL_IN_PATH);
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return os_error(errno);

  InputFile input;
  input.identity_ = {st.st_dev, st.st_ino};
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    if (access == Access::Copied) {
      auto copy = copy_file(file.fd, size);
      if (auto* error = std::get_if<RescueError>(&copy)) return std::move(*error);
      input.mapping_ = std::get<void*>(copy);
      input.mapping_size_ = size;
      input.bytes_ = {static_cast<const char*>(input.mapping_), size};
      return input;
    }
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
    if (p != MAP_FAILED) {
      input.mapping_ = p;
      input.mapping_size_ = size;
      input.bytes_ = {static_cast<const char*>(p), size};
      return input;
    }
  }
  // Not a mappable regular file: read it. A regular file that reports size 0 may still have
  // content (the files of /proc do).
  auto content =
      read_to_end(file.fd, S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
  if (auto* error = std::get_if<RescueError>(&content)) return std::move(*error);
  input.owned_ = std::move(std::get<std::vector<char>>(content));
  input.bytes_ = {input.owned_.data(), input.owned_.size()};
  return input;
}

InputFile::InputFile(InputFile&& other) noexcept {
  *this = std::move(other);
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this == &other) return *this;
  release();
  mapping_ = std::exchange(other.mapping_, nullptr);
  mapping_size_ = std::exchange(other.mapping_size_, 0);
  owned_ = std::move(other.owned_);
  identity_ = other.identity_;
  bytes_ = mapping_ ? std::string_view(static_cast<const char*>(mapping_), mapping_size_)
                    : std::string_view(owned_.data(), owned_.size());
  other.bytes_ = {};
  return *this;
}

InputFile::~InputFile() {
  release();
}

void InputFile::release() {
  if (mapping_) ::munmap(mapping_, mapping_size_);
  mapping_ = nullptr;
  mapping_size_ = 0;
}

}  // namespace quorle::rescue
