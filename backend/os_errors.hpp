// Turning a failure of the file rescue into a Python exception: an I/O failure into OSError,
// options that do not fit the input into ValueError (noted as the quote's, as when given).
#pragma once

#include "rescue/rescue_error.hpp"

namespace quorle::pyext {

/// The file rescue's rule: always a plain OSError carrying the message.
void raise_plain_os_error(const rescue::RescueError& error);
/// The reader's rule: the OSError subclass of the failure's kind, with the message as its one
/// argument (so errno, strerror and filename stay None).
void raise_os_error_by_kind(const rescue::RescueError& error);

}  // namespace quorle::pyext
