// Where an output file is written. Normally straight to its path (created or truncated). When the
// path names the input file itself, truncating it would destroy the only copy of the data (and
// pull the mapped input away), so the output goes to a temporary file beside the real one and
// replaces it only once everything is complete.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "rescue/buffered_writer.hpp"
#include "rescue/input_file.hpp"

namespace quorle::rescue {

class OutputTarget {
 public:
  static std::variant<OutputTarget, RescueError> create(const std::string& path,
                                                        const InputFile& input);

  OutputTarget(OutputTarget&& other) noexcept
      : writer_(std::move(other.writer_)),
        temporary_(std::exchange(other.temporary_, {})),
        real_path_(std::move(other.real_path_)) {}
  OutputTarget& operator=(OutputTarget&&) = delete;
  /// A temporary file that was never committed is removed.
  ~OutputTarget();

  BufferedWriter& writer() { return *writer_; }
  /// Flushes and closes the file, reporting a failure of either.
  std::optional<RescueError> close();
  /// A temporary file replaces the real one; a direct file has nothing more to do.
  std::optional<RescueError> commit();

 private:
  OutputTarget() = default;

  std::unique_ptr<BufferedWriter> writer_;
  std::string temporary_;  // empty when writing straight to the path
  std::string real_path_;
};

/// Whether two paths name the same file: the same path once made absolute and normalised, or
/// two existing paths of the same device and inode. Empty paths, and paths holding a NUL, name
/// no file.
bool same_file(const std::string& a, const std::string& b);

}  // namespace quorle::rescue
