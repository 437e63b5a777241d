// Raising the OSError of an errno, with the file's name: OSError(errno, strerror, filename) picks
// the subclass of the errno (FileNotFoundError, PermissionError, ...) as the built-ins do.
#pragma once

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// Sets the exception and returns null. `filename` is borrowed; it may be None. `text` (null: the
/// errno's own) stands in for strerror.
PyObject* raise_errno_error(int code, PyObject* filename, const char* text = nullptr);

}  // namespace quorle::pyext
