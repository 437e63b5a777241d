// The good rows of a RowStore as clean lines, for both layers: runs of verbatim rows go out as one
// piece of input, the other rows field by field. The backend writes in its input's dialect and
// nothing else; the package also guards what would read back otherwise and writes long texts in
// pieces, long runs from the input file inside the kernel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/row_store.hpp"
#include "rescue/rescue_error.hpp"
#include "rescue/verbatim_run.hpp"

namespace quorle::rescue {

class BufferedWriter;

/// Where the input bytes lie in a file, when they are a map of one: long runs of rows that are
/// their own clean form are then copied from file to file inside the kernel.
struct InputSource {
  int fd = -1;               ///< -1: the bytes are only in memory
  std::uint64_t offset = 0;  ///< file offset of the first input byte
};

/// How the clean lines are written.
struct CleanLineRules {
  /// The rows' own delimiter and quote; otherwise `delimiter` (an ASCII byte) and '"'.
  bool rows_dialect = false;
  std::uint8_t delimiter = ',';
  /// A row whose fields are all blank, or that opens the file with U+FEFF, gets its first field
  /// quoted: bare, it would read back as a blank line, padding or a byte-order mark.
  bool guard_rereading = false;
  /// Long fields, long lines and long runs go out in pieces, with looks at the stop flag between
  /// the pieces of a run; otherwise every line and run is one text for the buffer.
  bool in_pieces = false;
};

/// The backend's: the input's dialect, each line and run in one piece (the buffer then decides
/// the write calls, as it always has).
inline constexpr CleanLineRules BACKEND_LINES{true, ',', false, false};
/// The package's: RFC 4180 with `delimiter`.
constexpr CleanLineRules package_lines(std::uint8_t delimiter) {
  return {false, delimiter, true, true};
}

class CleanLines {
 public:
  CleanLines(BufferedWriter& out, std::string_view input, const CleanLineRules& rules,
             InputSource source = {});

  /// Writes the rows of one store, in order. Gives up early, without an error, once `stop` is
  /// set.
  std::optional<RescueError> write(const engine::RowStore& rows, const std::atomic<bool>& stop);

 private:
  // Writes out the open run of verbatim rows.
  std::optional<RescueError> flush_run(const std::atomic<bool>& stop);

  BufferedWriter& out_;
  std::string_view input_;
  CleanLineRules rules_;
  InputSource source_;
  VerbatimRun run_;
  std::string line_;       // the fields of a row on their way out
  std::string unescaped_;  // a field of a verbatim row with its doubled quotes made one
  std::vector<engine::StoredField> ahead_;  // a blank first field and the blank ones after it
};

}  // namespace quorle::rescue
