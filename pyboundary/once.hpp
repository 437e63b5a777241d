// Objects made once per process (types, failure classes, interned names) and
// then shared by every module object and thread.
#pragma once

#include "pyboundary/py_ref.hpp"

#include <atomic>

namespace quorle::pyext {

/// A slot filled on first need. A thread waiting for another thread to fill it waits with its
/// thread state detached, so it never holds the interpreter lock that the creator needs.
class OnceObject {
 public:
  /// The object (borrowed; the slot keeps it for the life of the process), made by `create` on
  /// first need; null with a Python exception when creating it failed.
  template <class Create>
  PyObject* get(Create&& create) {
    if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Lock(&mutex_);
    struct Unlock {
      PyMutex* m;
      ~Unlock() { PyMutex_Unlock(m); }
    } unlock{&mutex_};
    if (PyObject* v = value_.load(std::memory_order_relaxed)) return v;
    PyObject* made = create().release();
    if (made) value_.store(made, std::memory_order_release);
    return made;
#else
    // Without PyMutex there is always an interpreter lock; should creating release it and let
    // another thread fill the slot first, the later object is dropped.
    PyRef made = create();
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
      return made.release();
    }
    return expected;
#endif
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
#if PY_VERSION_HEX >= 0x030D0000
  PyMutex mutex_{};
#endif
};

}  // namespace quorle::pyext
