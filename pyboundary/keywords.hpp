// Binding a vectorcall to a static table of parameters: a handful at most by position, the rest by
// name, then each argument converted to the value the work needs. Every conversion failure
// carries the note "while processing '<parameter>'".
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "pyboundary/once.hpp"

namespace quorle::pyext {

/// One parameter: its name, and whether a call must give it.
struct Parameter {
  const char* name;
  bool required = true;
};

/// Two lists of parameters as one, for tables that share a block of them.
template <std::size_t N, std::size_t M>
constexpr std::array<Parameter, N + M> joined(const std::array<Parameter, N>& first,
                                              const std::array<Parameter, M>& second) {
  std::array<Parameter, N + M> all{};
  for (std::size_t i = 0; i < N; ++i)
    all[i] = first[i];
  for (std::size_t i = 0; i < M; ++i)
    all[N + i] = second[i];
  return all;
}

/// A callable's parameters. The first `positional` are positional-only; the rest keyword-only.
struct ParameterTable {
  const char* display;  ///< "rescue()"
  std::size_t positional;
  std::span<const Parameter> parameters;
  OnceObject names{};  ///< the names, interned, made on first call
};

/// Fills `slots` (one per parameter; null where nothing was given) with borrowed references.
/// False with TypeError set when the call does not fit the table.
bool bind_keywords(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);

/// Adds the note "while processing '<name>'" to the exception being raised.
void note_parameter(const char* name);

// The conversions. Each returns false with the exception set and noted; a missing optional
// argument leaves `out` as it was.
bool int_argument(PyObject* value, const char* name, int& out);
bool long_argument(PyObject* value, const char* name, long long& out);
bool count_argument(PyObject* value, const char* name, std::uint64_t& out);
bool truth_argument(PyObject* value, const char* name, bool& out);
/// bytes without a NUL (a path for the C library).
bool path_bytes_argument(PyObject* value, const char* name, std::string& out);

}  // namespace quorle::pyext
