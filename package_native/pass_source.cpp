#include "package_native/pass_source.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "arrow/schema.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/finalizing.hpp"

namespace quorle::native {
namespace {

// A batch ends at this many data bytes even before batch_rows, so wide rows stay bounded too.
constexpr std::uint64_t BATCH_BYTES = std::uint64_t{64} << 20;
// Field bytes built between two looks at pending signals.
constexpr std::uint64_t SIGNAL_STEP = std::uint64_t{64} << 20;

bool finalizing() {
  return pyext::interpreter_finalizing();
}

}  // namespace

PassSource::PassSource(Py_buffer view, Settings settings, std::shared_ptr<Ending> ending)
    : view_(view),
      input_(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
      source_(input_),
      settings_(std::move(settings)),
      ending_(std::move(ending)),
      rows_(settings_.options.delimiter, settings_.options.quote_char),
      pass_(input_, settings_.options, settings_.plan, source_, settings_.quarantine.fd,
            settings_.quarantine_name, settings_.progress) {}

PassSource::~PassSource() {
  // The pass may be waiting for the lock to call the progress callable: let it go meanwhile.
  const bool gil = !finalizing() && PyGILState_Check() != 0;
  PyThreadState* state = gil ? PyEval_SaveThread() : nullptr;
  pass_.stop();
  pass_.join();
  if (gil) PyEval_RestoreThread(state);
  if (settings_.quarantine.fd >= 0) {  // not committed: an unnamed file goes with its descriptor
    ::close(settings_.quarantine.fd);
    if (!settings_.quarantine.temporary.empty()) ::unlink(settings_.quarantine.temporary.c_str());
  }
  if (view_.obj && !finalizing()) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyBuffer_Release(&view_);
    Py_XDECREF(settings_.progress);
    PyGILState_Release(gil);
  }
}

// Runs `work` with the interpreter lock let go, if the caller holds it; a C++ exception fails
// the stream.
template <class Work>
bool PassSource::without_lock(Work&& work) {
  const bool gil = !finalizing() && PyGILState_Check() != 0;
  PyThreadState* state = gil ? PyEval_SaveThread() : nullptr;
  bool ok = false;
  try {
    ok = work();
  } catch (...) {
    pyext::FailureText failure = pyext::describe_current_exception();
    ok = fail(std::move(failure.message), failure.code);
  }
  if (gil) PyEval_RestoreThread(state);
  return ok;
}

bool PassSource::schema(ArrowSchema* out) {
  return without_lock([&] {
    if (!start()) return false;
    arrow::export_schema(names_, type_, out);
    return true;
  });
}

bool PassSource::next(ArrowArray* out) {
  return without_lock([&] { return build(out); });
}

bool PassSource::fail(std::string message, int code) {
  return fail(rescue::plain_error(std::move(message)), code);
}

bool PassSource::fail(rescue::RescueError error, int code) {
  error_ = std::move(error);
  code_ = code;
  std::lock_guard<std::mutex> lock(ending_->mutex);
  ending_->state = Ending::State::Failed;
  ending_->error = error_;
  if (error_.os_error != 0) ending_->filename = settings_.quarantine_name;
  return false;
}

// The quarantine file failed with `error`: the message names it; the errno travels along.
bool PassSource::fail_quarantine(int error) {
  return fail({error, "cannot write the quarantine file " + settings_.quarantine_name + ": " +
                          std::strerror(error)},
              error);
}

// Waits for the first rows (or the end) so that the columns are known. Call without the lock.
bool PassSource::start() {
  if (started_) return true;
  if (!pop()) {
    if (!error_.message.empty()) return false;
  }
  started_ = true;
  if (pass_.has_header() && current_) {
    engine::StoredRow row;
    if (cursor_->next(row, true)) rows_.header_names(row, names_);
  }
  names_.resize(pass_.columns());
  return true;
}

// The next stored rows into current_; false at the end of the rows or on failure (error_ set).
bool PassSource::pop() {
  cursor_.reset();
  current_.reset();
  release_input(current_passed_);
  std::optional<HandedOver> next = pass_.pop();
  if (!next) {
    if (const std::optional<rescue::RescueError>& failure = pass_.failure()) {
      if (failure->os_error != 0) return fail_quarantine(failure->os_error);
      if (!failure->message.empty()) return fail(failure->message, EIO);
    }
    return false;
  }
  current_ = std::make_unique<engine::RowStore>(std::move(next->rows));
  current_passed_ = next->passed;
  cursor_.emplace(*current_);
  return true;
}

// The input's pages before `end` are read no more by any row to come: a mapped file lets them go
// from the process (they stay in the page cache), so its resident memory stays that of the
// batches. The quarantine, written at the end, reads its records back in.
void PassSource::release_input(std::uint64_t end) {
  if (!settings_.mapped) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto base = reinterpret_cast<std::uintptr_t>(input_.data());
  const std::uintptr_t from = (base + released_ + page - 1) / page * page;
  const std::uintptr_t to = (base + end) / page * page;
  if (to <= from) return;
  ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  released_ = to - base;
}

bool PassSource::build(ArrowArray* out) {
  if (!start()) return false;
  if (!builder_) {
    arrow::BuilderOptions o;
    o.type = type_;
    o.null_padding = settings_.null_padding;
    builder_.emplace(pass_.columns(), o);
  }
  arrow::StringBatchBuilder& b = *builder_;
  engine::StoredRow row;
  std::uint64_t stored = 0;
  std::size_t since_check = 0;
  while (!b.full() && b.rows() < settings_.batch_rows) {
    if (!cursor_ || !cursor_->next_head(row, stored)) {
      if (!pop()) {
        if (!error_.message.empty()) return false;
        break;
      }
      continue;
    }
    rows_.add(b, *current_, *cursor_, row, stored);
    if (++since_check == 1024) {
      since_check = 0;
      if (b.data_bytes() >= BATCH_BYTES) break;
    }
  }
  // No batch read from a source cut short is handed out, and the stream does not end well.
  if (source_.faulted() || (b.rows() == 0 && source_.changed()))
    return fail(source_.message(), EIO);
  if (b.rows() == 0) return end(out);
  signal_due_ += b.data_bytes();
  b.finish(out);
  if (signal_due_ >= SIGNAL_STEP) {
    signal_due_ = 0;
    if (!signals_ok()) {
      out->release(out);
      return fail("interrupted", EINTR);
    }
  }
  return true;
}

// Runs pending signal handlers with the lock taken briefly. A handler that raises fails the
// stream; a KeyboardInterrupt is raised again where Python code runs next.
bool PassSource::signals_ok() {
  if (finalizing()) return true;
  PyGILState_STATE state = PyGILState_Ensure();
  bool ok = PyErr_CheckSignals() == 0;
  if (!ok) {
    const bool interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
    PyErr_Clear();
    if (interrupt) PyErr_SetInterrupt();
  }
  PyGILState_Release(state);
  return ok;
}

// The end of the rows: the quarantine file goes into place and the outcome to the Python side.
bool PassSource::end(ArrowArray* out) {
  out->release = nullptr;
  if (ended_) return true;
  engine::ReportPassOutcome& outcome = pass_.join();
  if (settings_.quarantine.fd >= 0) {
    PendingOutput& q = settings_.quarantine;
    // Closing a duplicate makes a file system that reports write errors at close (NFS) report
    // them while the file can still be dropped.
    const int copy = ::dup(q.fd);
    int error = copy < 0 || ::close(copy) != 0 ? errno : 0;
    if (error == 0 && !q.target.empty()) {
      if (auto failure = commit_outputs(nullptr, &q)) error = failure->error;
    }
    if (::close(q.fd) != 0 && error == 0 && q.target.empty()) error = errno;
    q.fd = -1;
    if (error != 0) {
      if (!q.temporary.empty()) ::unlink(q.temporary.c_str());
      return fail_quarantine(error);
    }
  }
  ended_ = true;
  std::lock_guard<std::mutex> lock(ending_->mutex);
  ending_->outcome = std::move(outcome);
  ending_->state = Ending::State::Done;
  return true;
}

}  // namespace quorle::native
