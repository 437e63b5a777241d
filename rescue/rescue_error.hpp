// The failure value of the file rescue: an I/O failure with its message text, or options that the
// input turned out not to fit.
#pragma once

#include <string>

namespace quorle::rescue {

struct RescueError {
  int os_error = 0;          ///< the operating system's error code; 0 for the fixed messages
  std::string message;       ///< "No such file or directory (os error 2)" and the like
  bool bad_options = false;  ///< not an I/O failure: the options do not fit the input
};

/// The system's description of an error code, then " (os error N)".
RescueError os_error(int code);

/// A failure with a fixed message and no error code.
RescueError plain_error(std::string message);

/// Options that do not fit the input, found once it has been read.
RescueError options_error(std::string message);

/// Paths are refused before the platform is asked when they hold a NUL.
inline constexpr const char* NUL_IN_PATH = "strings passed to WinAPI cannot contain NULs";

}  // namespace quorle::rescue
