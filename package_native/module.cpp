// csv_quorle._native: the package's private bridge to the engine. It takes a buffer of UTF-8 text
// and open descriptors for the outputs; paths, files and the report belong to the Python side.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>
#include <string>

#include "engine/sniffer.hpp"
#include "engine/report_pass.hpp"
#include "package_native/batch_stream.hpp"
#include "package_native/column_counts_function.hpp"
#include "package_native/commit_functions.hpp"
#include "package_native/outcome_dict.hpp"
#include "package_native/pass_arguments.hpp"
#include "package_native/sample_records_function.hpp"
#include "package_native/source_map.hpp"
#include "package_native/transcode_functions.hpp"
#include "package_native/without_gil.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/errno_error.hpp"
#include "pyboundary/finalizing.hpp"
#include "pyboundary/keywords.hpp"
#include "rescue/batch_writer.hpp"
#include "rescue/report_output.hpp"

namespace quorle::native {
namespace {

// How much input may pass between two looks at pending signals.
constexpr std::uint64_t SIGNAL_STEP = std::uint64_t{64} << 20;
// How much input the rows of one batch for the writer thread span.
constexpr std::uint64_t BATCH_STEP = std::uint64_t{8} << 20;

// Holds a buffer taken from an argument, released on every way out.
struct BufferView {
  Py_buffer view{};
  ~BufferView() {
    if (view.obj) PyBuffer_Release(&view);
  }
  std::string_view bytes() const {
    return {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
  }
};

PyObject* raise_write_error(const rescue::RescueError& error, PyObject* path) {
  if (error.os_error != 0) return pyext::raise_errno_error(error.os_error, path);
  PyErr_SetString(PyExc_OSError, error.message.c_str());
  return nullptr;
}

PyObject* native_sniff(PyObject*, PyObject* args) {
  BufferView data;
  if (!PyArg_ParseTuple(args, "y*:sniff", &data.view)) return nullptr;
  std::uint8_t delimiter = ',';
  WithoutGil gil;
  if (!gil.run([&] { delimiter = engine::sniff_delimiter(data.bytes()); })) return nullptr;
  return PyLong_FromLong(delimiter);
}

// rescue(buffer, /, *, ...): the outputs and the table's place, then the pass's options.
constexpr std::array<pyext::Parameter, 11> RESCUE_OWN_PARAMETERS = {{
    {"buffer"},
    {"out_fd"},
    {"quarantine_fd"},
    {"out_path"},
    {"quarantine_path"},
    {"output_delimiter"},
    {"source_fd"},
    {"source_offset"},
    {"begin"},
    {"end"},
    {"trace_rows", false},  // for tests: each good row's lines in "row_lines"
}};
constexpr auto RESCUE_PARAMETERS = pyext::joined(RESCUE_OWN_PARAMETERS, PASS_PARAMETERS);
enum RescueArgument {
  BUFFER, OUT_FD, QUARANTINE_FD, OUT_PATH, QUARANTINE_PATH, OUTPUT_DELIMITER, SOURCE_FD,
  SOURCE_OFFSET, BEGIN, END, TRACE_ROWS, PASS_OPTIONS
};
static_assert(PASS_OPTIONS == RESCUE_OWN_PARAMETERS.size());
pyext::ParameterTable rescue_parameters{"rescue()", 1, RESCUE_PARAMETERS};

PyObject* rescue_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[RESCUE_PARAMETERS.size()];
  if (!pyext::bind_keywords(rescue_parameters, args, nargs, kwnames, a)) return nullptr;
  BufferView data;
  if (PyObject_GetBuffer(a[BUFFER], &data.view, PyBUF_SIMPLE) < 0) {
    pyext::note_parameter("buffer");
    return nullptr;
  }
  int out_fd = -1, quarantine_fd = -1, source_fd = -1;
  long long source_offset = 0;
  std::uint64_t begin = 0, end = 0;
  std::uint8_t output_delimiter = ',';
  engine::ReportPassOptions options;
  if (!pyext::int_argument(a[OUT_FD], "out_fd", out_fd) ||
      !pyext::int_argument(a[QUARANTINE_FD], "quarantine_fd", quarantine_fd) ||
      !byte_argument(a[OUTPUT_DELIMITER], "output_delimiter", output_delimiter) ||
      !pyext::int_argument(a[SOURCE_FD], "source_fd", source_fd) ||
      !pyext::long_argument(a[SOURCE_OFFSET], "source_offset", source_offset) ||
      !pyext::count_argument(a[BEGIN], "begin", begin) ||
      !pyext::count_argument(a[END], "end", end) ||
      !pyext::truth_argument(a[TRACE_ROWS], "trace_rows", options.trace_rows) ||
      !pass_options(a + PASS_OPTIONS, options)) {
    return nullptr;
  }
  const auto size = static_cast<std::uint64_t>(data.view.len);
  if (begin > end || end > size || options.first_line == 0) {
    PyErr_SetString(PyExc_ValueError, "the table's range lies outside the buffer");
    return nullptr;
  }
  PyObject* const out_path = a[OUT_PATH];
  PyObject* const quarantine_path = a[QUARANTINE_PATH];

  engine::ReportPassOutcome out;
  const SourceWatch source(data.bytes());  // a guarded map of the source file, if it is one
  std::optional<rescue::RescueError> write_error;
  bool quarantine_failed = false;
  bool interrupted = false;
  WithoutGil gil;
  const bool finished = gil.run([&] {
    // Only the table's lines are read; the writer copies them from the same place in the file.
    const std::string_view input = data.bytes().substr(begin, end - begin);
    if (source_fd >= 0) source_offset += static_cast<long long>(begin);
    // This thread parses and hands batches of rows to a writer thread; it alone asks for the
    // interpreter lock back, to look at signals.
    rescue::BatchWriter writer(out_fd, input, static_cast<std::uint8_t>(output_delimiter),
                               {source_fd, static_cast<std::uint64_t>(source_offset)});
    const rescue::BatchWriter::Waiting waiting = [&] {
      interrupted = !gil.check_signals();
      return !interrupted;
    };
    const engine::Progress progress = [&](std::uint64_t) {
      return waiting() && !writer.failed() && !source.faulted();
    };
    const engine::HandOverRows batches = [&](engine::RowStore&& rows) {
      return writer.push(std::move(rows), waiting);
    };
    if (engine::report_pass(input, options, out, progress, SIGNAL_STEP, batches, BATCH_STEP)) {
      writer.push(std::move(out.rows), waiting);
    }
    if (interrupted) return;
    bool stopped = false;
    write_error = writer.finish(waiting, stopped);
    if (stopped || write_error || quarantine_fd < 0 || source.faulted()) return;
    write_error = rescue::write_record_quarantine(quarantine_fd, out, input, options.recode_cp1252);
    quarantine_failed = write_error.has_value();
  });
  if (!finished || interrupted) return nullptr;
  // Rows read from a source cut short are zeros: no output of them may be kept. A copy from the
  // file that came up short fails for the same reason, and says so.
  if (source.changed()) return source.raise();
  if (write_error)
    return raise_write_error(*write_error, quarantine_failed ? quarantine_path : out_path);

  return outcome_dict(out);
}

PyObject* native_rescue(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr, [&] { return rescue_impl(args, nargs, kwnames); });
}

PyMethodDef native_methods[] = {
    {"sniff", pyext::guarded_entry<native_sniff>, METH_VARARGS, "sniff(buffer) -> int\n\nThe likely delimiter byte."},
    {"rescue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_rescue)),
     METH_FASTCALL | METH_KEYWORDS,
     "rescue(buffer, /, *, out_fd, quarantine_fd, out_path, quarantine_path, delimiter, quote, "
     "escape, header, expected_columns, skip_blank_lines, fill_ragged_rows, merge_overflow, "
     "repair_quotes, output_delimiter, long_quoted_lines, recode_cp1252, source_fd, "
     "source_offset, begin, end, first_line, header_rows, skip_initial_space, comment, "
     "skip_repeated_header, header_names, width_hint, trace_rows=False) -> dict\n\nSorts the records of UTF-8 text and writes the outputs. "
     "comment is a byte or -1; header_names None or bytes in UTF-8, one a column."},
    {"open_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_batches)),
     METH_FASTCALL | METH_KEYWORDS, OPEN_BATCHES_DOC},
    {"batches_names", pyext::guarded_entry<batches_names>, METH_O, "batches_names(handle) -> list of str"},
    {"batches_schema", pyext::guarded_entry<batches_schema>, METH_O, "batches_schema(handle) -> arrow_schema capsule"},
    {"batches_stream", pyext::guarded_entry<batches_stream>, METH_VARARGS,
     "batches_stream(handle, requested_schema) -> arrow_array_stream capsule, once"},
    {"batches_result", pyext::guarded_entry<batches_result>, METH_O,
     "batches_result(handle) -> dict once the stream has ended, else None"},
    {"transcode_single_byte", pyext::guarded_entry<transcode_single_byte>, METH_VARARGS, TRANSCODE_SINGLE_BYTE_DOC},
    {"commit", pyext::guarded_entry<commit>, METH_VARARGS, COMMIT_DOC},
    {"pause_commits_for_tests", pyext::guarded_entry<pause_commits>, METH_VARARGS, PAUSE_COMMITS_DOC},
    {"utf8_evidence", pyext::guarded_entry<utf8_evidence>, METH_VARARGS, UTF8_EVIDENCE_DOC},
    {"sample_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_records)),
     METH_FASTCALL | METH_KEYWORDS, SAMPLE_RECORDS_DOC},
    {"column_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_counts)),
     METH_FASTCALL | METH_KEYWORDS, COLUMN_COUNTS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int native_exec(PyObject* module) {
  if (pyext::watch_finalizing() < 0) return -1;
  return add_source_map_type(module);
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "csv_quorle._native",
    "The engine of csv_quorle.",
    0,
    native_methods,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorle::native

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&quorle::native::native_module);
}
