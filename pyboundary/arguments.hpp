// Converting bound arguments into the values the work needs. Every failure carries the note
// "while processing '<parameter>'"; an argument the call did not give (null) leaves `out` as it
// was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// Adds the note "while processing '<name>'" to the exception being raised.
void note_parameter(const char* name);
/// Raises `type`(message) as a failure of the argument `name`, note included.
void refuse_argument(PyObject* type, const char* name, const char* message);

// Numbers and truth, as the package's options take them. Each returns false with the exception
// set and noted.
bool int_argument(PyObject* value, const char* name, int& out);
bool long_argument(PyObject* value, const char* name, long long& out);
/// An int from 0 to 2**64 - 1.
bool count_argument(PyObject* value, const char* name, std::uint64_t& out);
/// Anything, by its truth.
bool truth_argument(PyObject* value, const char* name, bool& out);
/// bytes without a NUL (a path for the C library).
bool path_bytes_argument(PyObject* value, const char* name, std::string& out);

// Strict types, as the backend's parameters take them.
/// A str (subclasses too), as its own UTF-8: the view lives as long as the str.
bool text_argument(PyObject* value, const char* name, std::string_view& out);
/// None (nothing) or a str.
bool optional_text_argument(PyObject* value, const char* name,
                            std::optional<std::string_view>& out);
/// True, False or a NumPy boolean; an int is refused.
bool flag_argument(PyObject* value, const char* name, bool& out);
/// None (nothing) or anything with __index__, from 0 to 2**64 - 1.
bool optional_count_argument(PyObject* value, const char* name,
                             std::optional<std::uint64_t>& out);

}  // namespace quorle::pyext
