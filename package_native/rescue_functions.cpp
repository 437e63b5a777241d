#include "package_native/rescue_functions.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <string_view>

#include "engine/parallel_pass.hpp"
#include "engine/report_pass.hpp"
#include "engine/sniffer.hpp"
#include "package_native/buffer_view.hpp"
#include "package_native/outcome_dict.hpp"
#include "package_native/pass_arguments.hpp"
#include "package_native/source_map.hpp"
#include "package_native/without_gil.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/keywords.hpp"
#include "pyboundary/rescue_failure.hpp"
#include "rescue/report_output.hpp"
#include "rescue/writer_thread.hpp"

namespace quorle::native {
namespace {

// How much input may pass between two looks at pending signals.
constexpr std::uint64_t SIGNAL_STEP = std::uint64_t{64} << 20;
// How much input the rows of one batch for the writer thread span.
constexpr std::uint64_t BATCH_STEP = std::uint64_t{8} << 20;
// With a progress callable: how much input passes between two looks at the clock, and how long
// at least between two calls, so that the callable costs next to nothing.
constexpr std::uint64_t PROGRESS_STEP = std::uint64_t{1} << 20;
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(100);

}  // namespace

PyObject* native_sniff(PyObject*, PyObject* args) {
  BufferView data;
  if (!PyArg_ParseTuple(args, "y*:sniff", &data.view)) return nullptr;
  std::uint8_t delimiter = ',';
  WithoutGil gil;
  if (!gil.run([&] { delimiter = engine::sniff_delimiter(data.bytes()); })) return nullptr;
  return PyLong_FromLong(delimiter);
}

namespace {

// rescue(buffer, /, *, ...): the outputs and the table's place, then the pass's options.
constexpr std::array<pyext::Parameter, 12> RESCUE_OWN_PARAMETERS = {{
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
    {"progress", false},    // None, or called with the input offset reached (see below)
}};
constexpr auto RESCUE_PARAMETERS = pyext::joined(RESCUE_OWN_PARAMETERS, PASS_PARAMETERS);
enum RescueArgument {
  BUFFER, OUT_FD, QUARANTINE_FD, OUT_PATH, QUARANTINE_PATH, OUTPUT_DELIMITER, SOURCE_FD,
  SOURCE_OFFSET, BEGIN, END, TRACE_ROWS, PROGRESS, PASS_OPTIONS
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
  engine::ParallelPlan plan;
  if (!pyext::int_argument(a[OUT_FD], "out_fd", out_fd) ||
      !pyext::int_argument(a[QUARANTINE_FD], "quarantine_fd", quarantine_fd) ||
      !byte_argument(a[OUTPUT_DELIMITER], "output_delimiter", output_delimiter) ||
      !pyext::int_argument(a[SOURCE_FD], "source_fd", source_fd) ||
      !pyext::long_argument(a[SOURCE_OFFSET], "source_offset", source_offset) ||
      !pyext::count_argument(a[BEGIN], "begin", begin) ||
      !pyext::count_argument(a[END], "end", end) ||
      !pyext::truth_argument(a[TRACE_ROWS], "trace_rows", options.trace_rows) ||
      !pass_options(a + PASS_OPTIONS, options, plan)) {
    return nullptr;
  }
  const auto size = static_cast<std::uint64_t>(data.view.len);
  if (begin > end || end > size || options.first_line == 0) {
    PyErr_SetString(PyExc_ValueError, "the table's range lies outside the buffer");
    return nullptr;
  }
  PyObject* const report_to = a[PROGRESS] == Py_None ? nullptr : a[PROGRESS];
  if (report_to && !PyCallable_Check(report_to)) {
    PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
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
    rescue::WriterThread writer(out_fd, input, static_cast<std::uint8_t>(output_delimiter),
                               {source_fd, static_cast<std::uint64_t>(source_offset)});
    const rescue::WriterThread::Waiting waiting = [&] {
      interrupted = !gil.check_signals();
      return !interrupted;
    };
    // The callable hears of the offset reached at most once a period, with the lock held only
    // for the call; signals are still looked at once every SIGNAL_STEP. An exception it raises
    // stops the pass as Ctrl-C does, and stays set.
    using Clock = std::chrono::steady_clock;
    auto last_call = Clock::time_point{};  // the first look calls it: a bar moves at once
    std::uint64_t last_signals = 0;
    const auto told = [&](std::uint64_t at) {
      if (!report_to || Clock::now() - last_call < PROGRESS_PERIOD) return true;
      interrupted = !gil.holding_lock([&] {
        pyext::PyRef offset = pyext::PyRef::steal(PyLong_FromUnsignedLongLong(at));
        return offset && pyext::PyRef::steal(PyObject_CallOneArg(report_to, offset.get()));
      });
      last_call = Clock::now();
      return !interrupted;
    };
    const engine::Progress progress = [&](std::uint64_t at) {
      if (!told(at)) return false;
      if (!report_to || at - last_signals >= SIGNAL_STEP || at < last_signals) {
        last_signals = at;
        if (!waiting()) return false;
      }
      return !writer.failed() && !source.faulted();
    };
    const engine::HandOverRows batches = [&](engine::RowStore&& rows) {
      return writer.push(std::move(rows), waiting);
    };
    const std::uint64_t step = report_to ? PROGRESS_STEP : SIGNAL_STEP;
    if (engine::report_pass_parallel(input, options, out, plan, progress, step, batches,
                                     BATCH_STEP)) {
      writer.push(std::move(out.rows), waiting, out.columns);
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
    return pyext::raise_rescue_error(*write_error, quarantine_failed ? quarantine_path : out_path);

  return outcome_dict(out);
}

}  // namespace

PyObject* native_rescue(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr, [&] { return rescue_impl(args, nargs, kwnames); });
}

}  // namespace quorle::native
