// Consecutive verbatim rows that stood on lines of their own, ended by a single LF, are one run
// of input bytes in the output too: both writers send such a run out in one piece.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorle::rescue {

struct VerbatimRun {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool open = false;

  /// Takes a row's bytes into the open run when they stand right after it, one LF apart.
  bool extend(std::string_view input, std::string_view raw) {
    const auto at = static_cast<std::size_t>(raw.data() - input.data());
    if (!open || at != end + 1 || input[end] != '\n') return false;
    end = at + raw.size();
    return true;
  }
  /// Opens a run of a row's bytes; the one before must have gone out.
  void start(std::string_view input, std::string_view raw) {
    open = true;
    begin = static_cast<std::size_t>(raw.data() - input.data());
    end = begin + raw.size();
  }
};

}  // namespace quorle::rescue
