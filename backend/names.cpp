#include "backend/names.hpp"
#include <iterator>

#include "pyboundary/once.hpp"

namespace quorle::pyext {
namespace {

constexpr const char* TEXTS[] = {
    "__all__",          "__name__",      "add_note",   "input_path",       "output_path",
    "quarantine_path",  "delimiter",     "quote_char", "fill_ragged_rows", "merge_overflow",
    "expected_columns", "repair_quotes", "sample",     "file_path",        "_exc_type",
    "_exc_val",         "_exc_tb",
};
static_assert(std::size(TEXTS) == static_cast<std::size_t>(Name::count_));

OnceObject all_names;

}  // namespace

const char* name_text(Name name) {
  return TEXTS[static_cast<int>(name)];
}

PyObject* interned(Name name) {
  PyObject* table = all_names.get([] {
    PyRef tuple = PyRef::steal(PyTuple_New(std::size(TEXTS)));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < std::size(TEXTS); ++i) {
      PyObject* s = PyUnicode_InternFromString(TEXTS[i]);
      if (!s) return PyRef();
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), s);
    }
    return tuple;
  });
  return table ? PyTuple_GET_ITEM(table, static_cast<Py_ssize_t>(name)) : nullptr;
}

}  // namespace quorle::pyext
