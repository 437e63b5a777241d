#include "pyboundary/errno_error.hpp"

#include <cstring>

namespace quorle::pyext {

PyObject* raise_errno_error(int code, PyObject* filename, const char* text) {
  PyRef args =
      PyRef::steal(Py_BuildValue("(isO)", code, text ? text : std::strerror(code), filename));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

}  // namespace quorle::pyext
