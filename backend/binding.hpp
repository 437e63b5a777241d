// Binding a call's positional and keyword arguments to a callable's parameters, and converting
// each argument into the value the work needs. Every conversion failure carries the note
// "while processing '<parameter>'".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "backend/names.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::pyext {

/// A callable's parameters, all positional-or-keyword, the first `required` of them required.
struct Signature {
  const char* display;  ///< "quorle_file()", "QuorleReader.__new__()"
  std::span<const Name> parameters;
  std::size_t required;
};

/// Fills `slots` (one per parameter; null where nothing was given) with borrowed references from
/// a vectorcall. False with TypeError set when the call does not fit the signature.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);
/// The same from an argument tuple and a keyword dict (may be null).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// The four kinds of conversion. Each returns false with the exception set and noted.
bool to_text(PyObject* value, Name parameter, std::string_view& out);
bool to_optional_text(PyObject* value, Name parameter, std::optional<std::string_view>& out);
bool to_flag(PyObject* value, Name parameter, bool& out);
bool to_optional_count(PyObject* value, Name parameter, std::optional<std::uint64_t>& out);

/// Raises ValueError(message) as a conversion failure of `parameter`, note included.
void raise_value_error(Name parameter, const char* message);

/// Adds the note "while processing '<parameter>'" to the exception being raised.
void add_processing_note(Name parameter);

}  // namespace quorle::pyext
