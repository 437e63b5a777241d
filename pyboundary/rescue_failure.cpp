#include "pyboundary/rescue_failure.hpp"

#include "pyboundary/errno_error.hpp"

namespace quorle::pyext {

PyObject* raise_message(PyObject* cls, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(cls, text.get());
  return nullptr;
}

PyObject* raise_rescue_error(const rescue::RescueError& error, PyObject* filename) {
  if (error.os_error != 0) return raise_errno_error(error.os_error, filename);
  return raise_message(PyExc_OSError, error.message);
}

}  // namespace quorle::pyext
