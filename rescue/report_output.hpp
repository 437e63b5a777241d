// Writing the outcome of the package's pass: the clean rows (RFC 4180, double quotes, LF) through
// large writes. The package's quarantine file is written by quarantine_file.hpp, included here
// for the callers of both.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/row_store.hpp"
#include "rescue/clean_lines.hpp"
#include "rescue/quarantine_file.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

class BufferedWriter;

/// Writes good rows to an open descriptor as clean lines, with `output_delimiter` (an ASCII
/// byte) between fields, through a 1 MiB buffer; long runs of input that already are their clean
/// form go out straight from the input.
class CleanRowWriter {
 public:
  CleanRowWriter(int fd, std::string_view input, std::uint8_t output_delimiter,
                  InputSource source = {});
  ~CleanRowWriter();
  CleanRowWriter(const CleanRowWriter&) = delete;
  CleanRowWriter& operator=(const CleanRowWriter&) = delete;

  /// Writes the rows of one store, in order. Gives up early, without an error, once `stop` is
  /// set.
  std::optional<RescueError> write(const engine::RowStore& rows, const std::atomic<bool>& stop);
  /// Writes out what is buffered.
  std::optional<RescueError> finish();

 private:
  std::unique_ptr<BufferedWriter> out_;
  CleanLines lines_;
};

}  // namespace quorle::rescue
