// The Python side only: the classes come from a dict the caller keeps (and its classify fills),
// so a cell seen before costs one lookup and no call.
#include "package_native/column_counts_function.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/py_ref.hpp"

namespace quorle::native {
namespace {

constexpr std::array<pyext::Parameter, 6> COUNT_PARAMETERS = {{
    {"records"}, {"columns"}, {"limit"}, {"classes"}, {"classify"}, {"count"},
}};
enum CountArgument { RECORDS, COLUMNS, LIMIT, CLASSES, CLASSIFY, COUNT };
pyext::ParameterTable count_parameters{"column_counts()", 1, COUNT_PARAMETERS};

constexpr std::uint64_t MAX_CLASSES = 64;
constexpr std::uint64_t MAX_COLUMNS = std::uint64_t{1} << 24;

/// The class of `cell`: from `classes`, else from `classify`; -1 with an exception set.
long class_of(PyObject* cell, PyObject* classes, PyObject* classify, long count) {
  PyObject* known = PyDict_GetItemWithError(classes, cell);  // borrowed
  pyext::PyRef made;
  if (!known) {
    if (PyErr_Occurred()) return -1;
    made = pyext::PyRef::steal(PyObject_CallOneArg(classify, cell));
    if (!made) return -1;
    known = made.get();
  }
  const long value = PyLong_AsLong(known);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value >= count) {
    PyErr_Format(PyExc_ValueError, "class %ld of a cell is not below count (%ld)", value, count);
    return -1;
  }
  return value;
}

PyObject* column_counts_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[COUNT_PARAMETERS.size()];
  if (!pyext::bind_keywords(count_parameters, args, nargs, kwnames, a)) return nullptr;
  std::uint64_t columns = 0, limit = 0, count = 0;
  if (!pyext::count_argument(a[COLUMNS], "columns", columns) ||
      !pyext::count_argument(a[LIMIT], "limit", limit) ||
      !pyext::count_argument(a[COUNT], "count", count))
    return nullptr;
  if (columns > MAX_COLUMNS || count == 0 || count > MAX_CLASSES) {
    PyErr_SetString(PyExc_ValueError, "columns or count out of range");
    return nullptr;
  }
  PyObject* records = a[RECORDS];
  PyObject* classes = a[CLASSES];
  if (!PyList_Check(records) || !PyDict_Check(classes) || !PyCallable_Check(a[CLASSIFY])) {
    PyErr_SetString(PyExc_TypeError,
                    "records must be a list, classes a dict and classify a callable");
    return nullptr;
  }
  std::vector<Py_ssize_t> counts(columns * count, 0);
  // The list may change under a call to classify: its size is read again each time round.
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(records) && static_cast<std::uint64_t>(r) < limit;
       ++r) {
    pyext::PyRef record = pyext::PyRef::borrow(PyList_GET_ITEM(records, r));
    PyObject* fields = PyTuple_Check(record.get()) && PyTuple_GET_SIZE(record.get()) > 2
                           ? PyTuple_GET_ITEM(record.get(), 2)
                           : nullptr;
    if (!fields || !PyList_Check(fields)) {
      PyErr_SetString(PyExc_TypeError, "a record must be a tuple whose third item is a list");
      return nullptr;
    }
    pyext::PyRef held = pyext::PyRef::borrow(fields);
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(fields) && static_cast<std::uint64_t>(j) < columns;
         ++j) {
      pyext::PyRef cell = pyext::PyRef::borrow(PyList_GET_ITEM(fields, j));
      const long c = class_of(cell.get(), classes, a[CLASSIFY], static_cast<long>(count));
      if (c < 0) return nullptr;
      ++counts[static_cast<std::size_t>(j) * count + static_cast<std::size_t>(c)];
    }
  }
  pyext::PyRef out = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* n = PyLong_FromSsize_t(counts[i]);
    if (!n) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), n);
  }
  return out.release();
}

}  // namespace

PyObject* column_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return column_counts_impl(args, nargs, kwnames); });
}

}  // namespace quorle::native
