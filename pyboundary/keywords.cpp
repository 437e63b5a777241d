#include "pyboundary/keywords.hpp"

#include <climits>
#include <cstring>

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

// The index of the keyword-only parameter a keyword names, or -1 (-2 with an exception set).
// Interned names usually match by identity.
Py_ssize_t keyword_index(const ParameterTable& table, PyObject* names, PyObject* keyword) {
  const auto count = static_cast<Py_ssize_t>(table.parameters.size());
  const auto first = static_cast<Py_ssize_t>(table.positional);
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

}  // namespace

bool bind_keywords(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) {
  PyObject* names = interned_names(table);
  if (!names) return false;
  const std::size_t count = table.parameters.size();
  for (std::size_t i = 0; i < count; ++i)
    slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > table.positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                 table.display, table.positional, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = keyword_index(table, names, keyword);
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
    slots[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!slots[i] && table.parameters[i].required) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s'", table.display,
                   table.parameters[i].name);
      return false;
    }
  }
  return true;
}

void note_parameter(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
#else
  PyObject *type, *exception, *traceback;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
#endif
  if (exception) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef done = note ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()))
                      : PyRef();
    if (!done) PyErr_Clear();  // a failing note leaves the first exception as it was
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(type, exception, traceback);
#endif
}

bool long_argument(PyObject* value, const char* name, long long& out) {
  if (!value) return true;
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) {
    note_parameter(name);
    return false;
  }
  out = n;
  return true;
}

bool int_argument(PyObject* value, const char* name, int& out) {
  long long n = out;
  if (!long_argument(value, name, n)) return false;
  if (n < INT_MIN || n > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "the value does not fit a C int");
    note_parameter(name);
    return false;
  }
  out = static_cast<int>(n);
  return true;
}

bool count_argument(PyObject* value, const char* name, std::uint64_t& out) {
  if (!value) return true;
  const unsigned long long n = PyLong_AsUnsignedLongLong(value);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    note_parameter(name);
    return false;
  }
  out = n;
  return true;
}

bool truth_argument(PyObject* value, const char* name, bool& out) {
  if (!value) return true;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    note_parameter(name);
    return false;
  }
  out = truth == 1;
  return true;
}

bool path_bytes_argument(PyObject* value, const char* name, std::string& out) {
  if (!value) return true;
  char* text = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &text, &size) < 0) {
    note_parameter(name);
    return false;
  }
  if (std::strlen(text) != static_cast<std::size_t>(size)) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    note_parameter(name);
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

}  // namespace quorle::pyext
