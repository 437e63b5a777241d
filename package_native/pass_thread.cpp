#include "package_native/pass_thread.hpp"

#include "pyboundary/entry_guard.hpp"
#include "pyboundary/finalizing.hpp"
#include "rescue/report_output.hpp"

namespace quorle::native {
namespace {

// Input the pass covers between two hand-overs: small, since two of them wait in the queue.
constexpr std::uint64_t HAND_OVER_STEP = std::uint64_t{4} << 20;
// How often the pass looks whether the consumer went away.
constexpr std::uint64_t STOP_STEP = std::uint64_t{1} << 20;
constexpr std::size_t QUEUED = 2;
// Least time between two calls of a progress callable.
constexpr auto PROGRESS_PERIOD = std::chrono::milliseconds(100);

}  // namespace

PassThread::PassThread(std::string_view input, const engine::ReportPassOptions& options,
                       const engine::ParallelPlan& plan, const SourceWatch& source, int quarantine_fd,
                       const std::string& quarantine_name, PyObject* progress)
    : input_(input),
      options_(options),
      plan_(plan),
      source_(source),
      quarantine_fd_(quarantine_fd),
      quarantine_name_(quarantine_name),
      progress_(progress),
      queue_(QUEUED),
      thread_([this] { run(); }) {}

PassThread::~PassThread() {
  queue_.stop();
  if (thread_.joinable()) thread_.join();
}

engine::ReportPassOutcome& PassThread::join() {
  if (thread_.joinable()) thread_.join();
  return out_;
}

void PassThread::run() {
  std::optional<rescue::RescueError> failure;
  try {
    const engine::Progress progress = [this](std::uint64_t at) {
      passed_ = at;
      return !queue_.stopped() && !source_.faulted() && tell(at, false);
    };
    const engine::HandOverRows hand_over = [this](engine::RowStore&& rows) {
      return push(std::move(rows));
    };
    if (engine::report_pass_parallel(input_, options_, out_, plan_, progress, STOP_STEP,
                                     hand_over, HAND_OVER_STEP) &&
        tell(input_.size(), true) && push(std::move(out_.rows)) && quarantine_fd_ >= 0) {
      if (auto e = rescue::write_record_quarantine(quarantine_fd_, out_, input_,
                                                   options_.recode_cp1252)) {
        failure = rescue::RescueError{
            e->os_error, "cannot write the quarantine file " + quarantine_name_ + ": " + e->message};
      }
    }
  } catch (...) {
    failure = rescue::plain_error(pyext::describe_current_exception().message);
  }
  if (!stopped_by_.empty()) failure = rescue::plain_error(stopped_by_);
  if (source_.faulted()) {  // what was read is zeros
    if (!failure) failure.emplace();
    failure->message = source_.message();
  }
  failure_ = std::move(failure);
  queue_.close();
}

// Calls the progress callable, if any, at most once a period and at the end, with the lock held
// for the call only. An exception it raises stops the pass; the Python side keeps it.
bool PassThread::tell(std::uint64_t at, bool last) {
  if (!progress_ || pyext::interpreter_finalizing()) return true;
  const auto now = std::chrono::steady_clock::now();
  if (!last && now - last_call_ < PROGRESS_PERIOD) return true;
  const PyGILState_STATE gil = PyGILState_Ensure();
  bool ok;
  {  // the references go before the lock does
    pyext::PyRef offset = pyext::PyRef::steal(PyLong_FromUnsignedLongLong(at));
    ok = offset && pyext::PyRef::steal(PyObject_CallOneArg(progress_, offset.get()));
    if (!ok) PyErr_Clear();
  }
  PyGILState_Release(gil);
  last_call_ = std::chrono::steady_clock::now();
  if (!ok) stopped_by_ = "stopped by the progress callable";
  return ok;
}

bool PassThread::push(engine::RowStore&& rows) {
  // Rows handed over empty (a long run of blank lines) are left out: the first rows the
  // consumer sees must come with the header and the column count, which may not be known yet.
  if (rows.empty()) return !queue_.stopped();
  if (!known_) {
    known_ = true;
    has_header_ = out_.has_header;
    columns_ = out_.columns;
  }
  return queue_.push({std::move(rows), passed_});
}

}  // namespace quorle::native
