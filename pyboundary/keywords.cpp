#include "pyboundary/keywords.hpp"

#include <string>
#include <vector>

namespace quorle::pyext {
namespace {

PyObject* interned_names(ParameterTable& table) {
  return table.names.get([&] {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(table.parameters.size())));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < table.parameters.size(); ++i) {
      PyObject* s = PyUnicode_InternFromString(table.parameters[i].name);
      if (!s) return PyRef();
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), s);
    }
    return tuple;
  });
}

const char* was_or_were(Py_ssize_t n) {
  return n == 1 ? "was" : "were";
}

bool too_many_positional(const ParameterTable& table, Py_ssize_t nargs) {
  std::size_t required = 0;
  for (std::size_t i = 0; i < table.positional; ++i)
    required += table.parameters[i].required;
  if (required == table.positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 table.display, table.positional, nargs, was_or_were(nargs));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 table.display, required, table.positional, nargs, was_or_were(nargs));
  }
  return false;
}

// The index of the parameter a keyword may name, or -1 (-2 with an exception set). Interned names
// usually match by identity.
Py_ssize_t keyword_index(ParameterTable& table, PyObject* keyword) {
  PyObject* names = interned_names(table);
  if (!names) return -2;
  const auto count = static_cast<Py_ssize_t>(table.parameters.size());
  const auto first = static_cast<Py_ssize_t>(table.first_keyword);
  for (Py_ssize_t i = first; i < count; ++i) {
    if (PyTuple_GET_ITEM(names, i) == keyword) return i;
  }
  for (Py_ssize_t i = first; i < count; ++i) {
    const int equal = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), keyword);
    if (equal == -1 && PyErr_Occurred()) return -2;
    if (equal == 0) return i;
  }
  return -1;
}

bool bind_keyword(ParameterTable& table, PyObject* keyword, PyObject* value, PyObject** slots) {
  const Py_ssize_t i = keyword_index(table, keyword);
  if (i == -2) return false;
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", table.display,
                 keyword);
    return false;
  }
  if (slots[i]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", table.display,
                 keyword);
    return false;
  }
  slots[i] = value;
  return true;
}

// Python's own wording for the parameters that may come either way, all of them at once: 'a';
// 'a' and 'b'; 'a', 'b', and 'c'. Then the others, one at a time, in table order.
bool all_required_given(const ParameterTable& table, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = table.first_keyword; i < table.positional; ++i) {
    if (!slots[i] && table.parameters[i].required) missing.push_back(table.parameters[i].name);
  }
  if (!missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        if (missing.size() > 2) list += ",";
        list += i + 1 == missing.size() ? " and " : " ";
      }
      list += "'";
      list += missing[i];
      list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", table.display,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
  }
  for (std::size_t i = 0; i < table.parameters.size(); ++i) {
    if (!slots[i] && table.parameters[i].required) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s'", table.display,
                   table.parameters[i].name);
      return false;
    }
  }
  return true;
}

// Empties the slots and fills them from the arguments given by position.
bool bind_positional(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
  for (std::size_t i = 0; i < table.parameters.size(); ++i)
    slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > table.positional) return too_many_positional(table, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = args[i];
  return true;
}

}  // namespace

bool bind_keywords(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) {
  if (!bind_positional(table, args, nargs, slots)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(table, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
  }
  return all_required_given(table, slots);
}

bool bind_keywords(ParameterTable& table, PyObject* args, PyObject* kwargs, PyObject** slots) {
  // A tuple's items lie in one array, as a vectorcall's do.
  if (!bind_positional(table, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {  // in the order the call gave them
      if (!bind_keyword(table, key, value, slots)) return false;
    }
  }
  return all_required_given(table, slots);
}

}  // namespace quorle::pyext
