#include "backend/internal_failure.hpp"

#include "pyboundary/entry_guard.hpp"
#include "pyboundary/once.hpp"

namespace quorle::pyext {
namespace {

OnceObject internal_failure;

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

const ExtensionIdentity THIS_EXTENSION = {
    "_csv_quorle_backend", "InternalFailure", internal_failure_class, "",
    "internal failure in _csv_quorle_backend",
};

}  // namespace quorle::pyext
