#include "native/pass_arguments.hpp"

namespace quorle::native {

bool header_names_argument(PyObject* names, engine::Row& out) {
  out.clear();
  if (names == Py_None) return true;
  PyObject* items = PySequence_Fast(names, "header_names must be a sequence of bytes");
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  bool ok = true;
  try {
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
      char* text = nullptr;
      Py_ssize_t size = 0;
      ok = PyBytes_AsStringAndSize(PySequence_Fast_GET_ITEM(items, i), &text, &size) == 0;
      if (ok) out.emplace_back(text, static_cast<std::size_t>(size));
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  Py_DECREF(items);
  return ok;
}

}  // namespace quorle::native
