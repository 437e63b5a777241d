// A failure of the rescue (rescue::RescueError) as a Python exception: the one mapping of both
// extensions. The backend picks the class by its own rules and raises through raise_message; the
// package names the file of an errno.
#pragma once

#include <string_view>

#include "pyboundary/py_ref.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::pyext {

/// Sets `cls` with `message` as its one argument (UTF-8, undecodable bytes replaced, so a path
/// in the message never turns it into a UnicodeDecodeError). Returns null.
PyObject* raise_message(PyObject* cls, std::string_view message);

/// The package's rule: a failure with an errno is OSError(errno, strerror, filename), whose class
/// follows the errno (FileNotFoundError, ...); `filename` is borrowed. One without an errno is a
/// plain OSError carrying the message. Returns null.
PyObject* raise_rescue_error(const rescue::RescueError& error, PyObject* filename);

}  // namespace quorle::pyext
