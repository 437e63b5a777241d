#include "pyboundary/entry_guard.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>

#include "engine/invariant.hpp"
#include "engine/records.hpp"

namespace quorle::pyext {
namespace {

[[noreturn]] void fatal(const char* what) {
  const std::string message = std::string(THIS_EXTENSION.name) + ": " + what;
  Py_FatalError(message.c_str());
}

void raise_internal_failure(const char* message) {
  PyObject* cls = THIS_EXTENSION.failure_class();
  if (!cls) {
    const std::string what = std::string("cannot create ") + THIS_EXTENSION.failure_class_name;
    fatal(what.c_str());
  }
  const std::string full = std::string(THIS_EXTENSION.what_prefix) + message;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(full.data(), static_cast<Py_ssize_t>(full.size()), "replace"));
  if (!text) fatal("cannot report an internal failure");
  PyErr_SetObject(cls, text.get());
}

}  // namespace

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
      PyRef text = PyRef::steal(PyUnicode_FromString(THIS_EXTENSION.generic_failure));
      PyObject* cls = THIS_EXTENSION.failure_class();
      if (!cls || !text) fatal("cannot report an internal failure");
      PyErr_SetObject(cls, text.get());
    }
  } catch (...) {
    fatal("a second internal failure while reporting the first");
  }
}

FailureText describe_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return {"out of memory", ENOMEM};
  } catch (const std::exception& e) {
    return {e.what(), EIO};
  } catch (...) {
    return {THIS_EXTENSION.generic_failure, EIO};
  }
}

}  // namespace quorle::pyext
