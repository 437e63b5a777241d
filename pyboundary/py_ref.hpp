// An owned reference to a Python object: released when the handle goes, moved but never copied.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorle::pyext {

class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (null allowed: the call that made it failed).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  /// Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = p_;  // the new reference is taken before the old one is dropped
    p_ = std::exchange(other.p_, nullptr);
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  /// Hands the reference over to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quorle::pyext
