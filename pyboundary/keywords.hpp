// Binding a call to a static table of parameters, then converting each argument into the value the
// work needs (arguments.hpp). One binder for both extensions: the backend's parameters may all come
// by position or by name, like a Python function's; the package's take a handful by position only
// and the rest by name only.
#pragma once

#include <array>
#include <span>

#include "pyboundary/arguments.hpp"
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

/// A callable's parameters. The first `positional` may come by position, those from
/// `first_keyword` on by name: by default the ones after the positional ones, which makes the
/// first positional-only and the rest keyword-only; with `first_keyword` 0 and every parameter
/// positional, each may come either way.
struct ParameterTable {
  const char* display;  ///< "rescue()", "QuorleReader.__new__()"
  std::size_t positional;
  std::span<const Parameter> parameters;
  std::size_t first_keyword = positional;
  OnceObject names{};  ///< the names, interned, made when a call first gives one by name
};

/// A table whose parameters may each come by position or by name, as a Python function's.
constexpr ParameterTable positional_or_keyword(const char* display,
                                               std::span<const Parameter> parameters) {
  return {display, parameters.size(), parameters, 0};
}

/// Fills `slots` (one per parameter; null where nothing was given) with borrowed references from
/// a vectorcall. False with TypeError set when the call does not fit the table. Checked in this
/// order: the number given by position, then each keyword in the order the call gave them, then
/// the required parameters that nothing filled.
bool bind_keywords(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);
/// The same from an argument tuple and a keyword dict (may be null), as tp_new receives them.
bool bind_keywords(ParameterTable& table, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace quorle::pyext
