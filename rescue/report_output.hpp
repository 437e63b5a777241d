// Writing the outcome of the package's pass: the clean rows (RFC 4180, double quotes, LF) through
// large writes, and the quarantine file with each record's lines and exact source text.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/report_pass.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::rescue {

/// "first_line,last_line,reason,raw" and a line feed.
inline constexpr std::string_view RECORD_QUARANTINE_HEADER = "first_line,last_line,reason,raw\n";

class BufferedWriter;

/// Where the input bytes lie in a file, when they are a map of one: long runs of rows that are
/// their own clean form are then copied from file to file inside the kernel.
struct InputSource {
  int fd = -1;               ///< -1: the bytes are only in memory
  std::uint64_t offset = 0;  ///< file offset of the first input byte
};

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
  std::string_view input_;
  InputSource source_;
  std::uint8_t delimiter_;
  std::string line_;       // the fields of a row on their way out
  std::string unescaped_;  // a field of a verbatim row with its doubled quotes made one
};

/// Ill-formed UTF-8 in the source text is decoded as the pass decoded it: U+FFFD, or
/// Windows-1252 with `recode_cp1252`.
std::optional<RescueError> write_record_quarantine(int fd, const engine::ReportPassOutcome& outcome,
                                                   std::string_view input, bool recode_cp1252);

}  // namespace quorle::rescue
