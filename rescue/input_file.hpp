// The whole input in memory. A regular file is mapped read-only rather than copied: reading a
// large file into fresh memory costs more than processing it. Anything else (a pipe, a device,
// a file whose size the system does not know) is read to its end.
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
  /// Opens the path and brings its whole content into memory.
  static std::variant<InputFile, RescueError> read(const std::string& path);

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
  /// The bytes are a mapping of the file itself: truncating the file would pull them away.
  bool mapped() const { return mapping_ != nullptr; }

 private:
  InputFile() = default;
  void release();

  std::string_view bytes_;
  void* mapping_ = nullptr;
  std::size_t mapping_size_ = 0;
  std::vector<char> owned_;  // the content when it was read; moving it keeps its address
  FileIdentity identity_;
};

}  // namespace quorle::rescue
