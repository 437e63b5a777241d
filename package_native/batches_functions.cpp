#include "package_native/batches_functions.hpp"

#include <unistd.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "arrow/capsule.hpp"
#include "arrow/column_names.hpp"
#include "arrow/schema.hpp"
#include "arrow/stream.hpp"
#include "package_native/outcome_dict.hpp"
#include "package_native/pass_arguments.hpp"
#include "package_native/pass_source.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/rescue_failure.hpp"

namespace quorle::native {
namespace {

const char* const HANDLE_NAME = "csv_quorle.batches";

// What the Python handle holds: the source until the stream is taken, the ending for good.
struct Handle {
  std::mutex busy;  // held by the one call using the source (see HandleUse)
  std::unique_ptr<PassSource> source;
  std::shared_ptr<Ending> ending;
};

// One call at a time uses a handle's source. Threads sharing a RecordBatches would otherwise both
// take the first rows to learn the columns (one of them losing a batch), or one would take the
// stream, and free the source with it, while another still waits in it. A waiter lets the
// interpreter lock go, since the holder takes it back when its wait for the pass ends.
class HandleUse {
 public:
  explicit HandleUse(Handle& h) : hold_(h.busy, std::try_to_lock) {
    if (hold_) return;
    PyThreadState* state = PyEval_SaveThread();
    struct Restore {
      PyThreadState* state;
      ~Restore() { PyEval_RestoreThread(state); }
    } restore{state};
    hold_.lock();
  }

 private:
  std::unique_lock<std::mutex> hold_;
};

void destroy_handle(PyObject* capsule) {
  auto* h = static_cast<Handle*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
  if (!h) {
    PyErr_Clear();
    return;
  }
  Py_BEGIN_ALLOW_THREADS;  // the pass thread is joined; it never needs the lock
  h->source.reset();
  Py_END_ALLOW_THREADS;
  delete h;
}

Handle* handle_of(PyObject* capsule) {
  return static_cast<Handle*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
}

// The source, for a caller holding the handle (HandleUse).
PassSource* source_of(Handle* h) {
  if (!h) return nullptr;
  if (!h->source) {
    PyErr_SetString(PyExc_RuntimeError, "the batches' stream was already taken");
    return nullptr;
  }
  return h->source.get();
}

// A failure of the stream as the Python side sees it: with an errno, the quarantine file's
// OSError naming it (the path as the file system spells it).
PyObject* raise_failure(const rescue::RescueError& error, const std::string& filename) {
  pyext::PyRef name;
  if (error.os_error != 0) {
    name = pyext::PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
        filename.data(), static_cast<Py_ssize_t>(filename.size())));
    if (!name) return nullptr;
  }
  return pyext::raise_rescue_error(error, name.get());
}

// The handle's source with its schema in `schema`, which waits for the first rows; null with the
// exception set. The caller holds the handle (HandleUse).
PassSource* source_with_schema(Handle* handle, ArrowSchema* schema) {
  PassSource* s = source_of(handle);
  if (!s) return nullptr;
  if (!s->schema(schema)) {
    raise_failure(s->failure(), s->quarantine_name());
    return nullptr;
  }
  return s;
}

// open_batches(buffer, /, *, ...): the batches and the quarantine, then the pass's options.
constexpr std::array<pyext::Parameter, 9> OPEN_OWN_PARAMETERS = {{
    {"buffer"},
    {"batch_rows"},
    {"null_padding"},
    {"mapped"},
    {"quarantine_fd"},
    {"quarantine_temporary"},
    {"quarantine_target"},
    {"quarantine_name"},
    {"progress", false},  // None, or called with the input offset reached, from the pass
}};
constexpr auto OPEN_PARAMETERS = pyext::joined(OPEN_OWN_PARAMETERS, PASS_PARAMETERS);
enum OpenArgument {
  BUFFER, BATCH_ROWS, NULL_PADDING, MAPPED, QUARANTINE_FD, QUARANTINE_TEMPORARY,
  QUARANTINE_TARGET, QUARANTINE_NAME, PROGRESS, PASS_OPTIONS
};
static_assert(PASS_OPTIONS == OPEN_OWN_PARAMETERS.size());
pyext::ParameterTable open_parameters{"open_batches()", 1, OPEN_PARAMETERS};

PyObject* open_batches_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[OPEN_PARAMETERS.size()];
  if (!pyext::bind_keywords(open_parameters, args, nargs, kwnames, a)) return nullptr;
  Settings s;
  long long batch_rows = 0;
  int quarantine_fd = -1;
  std::string temporary, target, name;
  if (!pyext::long_argument(a[BATCH_ROWS], "batch_rows", batch_rows) ||
      !pyext::truth_argument(a[NULL_PADDING], "null_padding", s.null_padding) ||
      !pyext::truth_argument(a[MAPPED], "mapped", s.mapped) ||
      !pyext::int_argument(a[QUARANTINE_FD], "quarantine_fd", quarantine_fd) ||
      !pyext::path_bytes_argument(a[QUARANTINE_TEMPORARY], "quarantine_temporary", temporary) ||
      !pyext::path_bytes_argument(a[QUARANTINE_TARGET], "quarantine_target", target) ||
      !pyext::path_bytes_argument(a[QUARANTINE_NAME], "quarantine_name", name) ||
      !pass_options(a + PASS_OPTIONS, s.options, s.plan)) {
    return nullptr;
  }
  PyObject* const progress = a[PROGRESS] == Py_None ? nullptr : a[PROGRESS];
  if (progress && !PyCallable_Check(progress)) {
    PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
    return nullptr;
  }
  if (s.options.first_line == 0) {
    PyErr_SetString(PyExc_ValueError, "first_line counts from 1");
    return nullptr;
  }
  Py_buffer view{};
  if (PyObject_GetBuffer(a[BUFFER], &view, PyBUF_SIMPLE) < 0) {
    pyext::note_parameter("buffer");
    return nullptr;
  }
  s.batch_rows = batch_rows > 0 ? static_cast<std::size_t>(batch_rows) : 1;
  Handle* h = nullptr;
  try {
    if (quarantine_fd >= 0) {
      s.quarantine.temporary = std::move(temporary);
      s.quarantine.target = std::move(target);
      s.quarantine_name = std::move(name);
    }
    s.quarantine.fd = quarantine_fd;  // owned from here on
    h = new Handle;
    Py_XINCREF(progress);  // the source's from here on
    s.progress = progress;
    h->ending = std::make_shared<Ending>();
    h->source = std::make_unique<PassSource>(view, std::move(s), h->ending);
  } catch (...) {
    delete h;
    if (quarantine_fd >= 0 && s.quarantine.fd >= 0) ::close(quarantine_fd);
    Py_XDECREF(s.progress);  // still here when the source was not made
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(h, HANDLE_NAME, destroy_handle);
  if (!capsule) {
    Py_BEGIN_ALLOW_THREADS;
    h->source.reset();
    Py_END_ALLOW_THREADS;
    delete h;
  }
  return capsule;
}

}  // namespace

PyObject* open_batches(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return open_batches_impl(args, nargs, kwnames); });
}

PyObject* batches_names(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  ArrowSchema schema{};
  PassSource* s = source_with_schema(h, &schema);
  if (!s) return nullptr;
  schema.release(&schema);
  std::vector<std::string> names;
  try {
    names = arrow::unique_column_names(s->names());
  } catch (...) {
    return PyErr_NoMemory();
  }
  pyext::PyRef list = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* n =
        PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    if (!n) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
  }
  return list.release();
}

PyObject* batches_schema(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  ArrowSchema schema{};
  if (!source_with_schema(h, &schema)) return nullptr;
  return arrow::py::schema_capsule(&schema);
}

PyObject* batches_stream(PyObject*, PyObject* args) {
  PyObject *handle, *requested;
  if (!PyArg_ParseTuple(args, "OO:batches_stream", &handle, &requested)) return nullptr;
  const ArrowSchema* wanted = nullptr;
  if (!arrow::py::requested_schema(requested, &wanted)) return nullptr;
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  PassSource* s = source_of(h);
  if (!s) return nullptr;
  if (auto type = arrow::requested_string_type(wanted)) s->set_type(*type);
  ArrowArrayStream stream{};
  if (!arrow::export_stream(std::move(h->source), &stream)) return PyErr_NoMemory();
  return arrow::py::stream_capsule(&stream);
}

PyObject* batches_result(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  std::lock_guard<std::mutex> lock(h->ending->mutex);
  switch (h->ending->state) {
    case Ending::State::Running: Py_RETURN_NONE;
    case Ending::State::Failed:
      return raise_failure(h->ending->error, h->ending->filename);
    case Ending::State::Done: break;
  }
  return outcome_dict(h->ending->outcome);
}

}  // namespace quorle::native
