// The whole input in memory. For the length of one call a regular file is mapped read-only
// rather than copied: reading a large file into fresh memory costs more than processing it.
// Whatever must outlive the call gets a private copy instead, so that it never depends on the
// file again (a mapping would change with the file, and fault if the file were truncated).
// Anything that is not a regular file (a pipe, a device) is read to its end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

/// Which file an open path names, to recognise the same file under another name.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

class InputFile {
 public:
  enum class Access { Mapped, Copied };

  /// Opens the path and brings its whole content into memory.
  static std::variant<InputFile, RescueError> read(const std::string& path, Access access);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  std::string_view bytes() const { return bytes_; }
  /// Lets go of the content early; bytes() is empty afterwards.
  void release_bytes() {
    release();
    owned_ = {};
    bytes_ = {};
  }
  FileIdentity identity() const { return identity_; }

 private:
  InputFile() = default;
  void release();

  std::string_view bytes_;
  void* mapping_ = nullptr;  // the file's pages, or private memory holding a copy
  std::size_t mapping_size_ = 0;
  std::vector<char> owned_;  // the content when it was read; moving it keeps its address
  FileIdentity identity_;
};

}  // namespace quorle::rescue
