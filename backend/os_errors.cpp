#include "backend/os_errors.hpp"

#include <cerrno>

#include "pyboundary/arguments.hpp"
#include "pyboundary/rescue_failure.hpp"

namespace quorle::pyext {
namespace {

PyObject* class_of_kind(int code) {
  switch (code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

void raise_with_message(PyObject* cls, const rescue::RescueError& error) {
  if (error.bad_options) {  // the delimiter sniffed from the input is the quote
    refuse_argument(PyExc_ValueError, "quote_char", error.message.c_str());
    return;
  }
  raise_message(cls, error.message);
}

}  // namespace

void raise_plain_os_error(const rescue::RescueError& error) {
  raise_with_message(PyExc_OSError, error);
}

void raise_os_error_by_kind(const rescue::RescueError& error) {
  raise_with_message(class_of_kind(error.os_error), error);
}

}  // namespace quorle::pyext
