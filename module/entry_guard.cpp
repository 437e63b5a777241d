#include "module/entry_guard.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "engine/check.hpp"
#include "engine/records.hpp"
#include "module/once.hpp"

namespace quorle::pyext {
namespace {

OnceObject internal_failure;

constexpr const char* GENERIC_FAILURE = "internal failure in _csv_quorle_backend";

void raise_internal_failure(const char* message) {
  PyObject* cls = internal_failure_class();
  if (!cls) Py_FatalError("_csv_quorle_backend: cannot create InternalFailure");
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) Py_FatalError("_csv_quorle_backend: cannot report an internal failure");
  PyErr_SetObject(cls, text.get());
}

}  // namespace

PyObject* internal_failure_class() {
  return internal_failure.get([] {
    return PyRef::steal(PyErr_NewExceptionWithDoc(
        "_csv_quorle_backend.InternalFailure",
        "A broken internal invariant of _csv_quorle_backend: a bug, never a property of the "
        "input.",
        PyExc_BaseException, nullptr));
  });
}

void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const engine::ColumnCountTooLarge& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_internal_failure(e.what());
    } catch (...) {
      raise_internal_failure(GENERIC_FAILURE);
    }
  } catch (...) {
    Py_FatalError("_csv_quorle_backend: a second internal failure while reporting the first");
  }
}

}  // namespace quorle::pyext
