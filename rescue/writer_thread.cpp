#include "rescue/writer_thread.hpp"

namespace quorle::rescue {

WriterThread::WriterThread(int fd, std::string_view input, std::uint8_t output_delimiter,
                           InputSource source, std::size_t inline_below)
    : writer_(fd, input, output_delimiter, source), inline_(input.size() < inline_below) {
  if (!inline_) thread_ = std::thread([this] { run(); });
}

WriterThread::~WriterThread() {
  queue_.stop();
  if (thread_.joinable()) thread_.join();
}

void WriterThread::run() {
  try {
    while (std::optional<engine::RowStore> rows = queue_.pop()) {
      error_ = writer_.write(*rows, queue_.stop_flag());
      if (error_) break;
    }
    // Drained after close(), not stopped from outside: the buffer goes out.
    if (!error_ && !queue_.stopped()) error_ = writer_.finish();
  } catch (...) {
    failure_ = std::current_exception();
  }
  failed_ = error_.has_value() || failure_ != nullptr;
  queue_.stop();  // done: a push fails from now on, finish() stops waiting
}

// The same writer as the thread's, on this thread; memory exhaustion goes straight up.
bool WriterThread::write_inline(const engine::RowStore& rows) {
  if (failed_.load()) return false;
  error_ = writer_.write(rows, never_stopped_);
  failed_ = error_.has_value();
  return !failed_.load();
}

bool WriterThread::push(engine::RowStore&& rows, const Waiting& waiting, std::uint64_t columns) {
  if (inline_) {
    if (columns < INLINE_FIELDS && rows.size() * (columns + 1) <= INLINE_FIELDS)
      return write_inline(rows);
    inline_ = false;  // what was written here is out of the writer before its thread starts
    if (failed_.load()) return false;
    thread_ = std::thread([this] { run(); });
  }
  return queue_.push(std::move(rows), waiting);
}

std::optional<RescueError> WriterThread::finish(const Waiting& waiting, bool& stopped) {
  if (!thread_.joinable()) {
    stopped = false;
    if (!error_) error_ = writer_.finish();
    failed_ = error_.has_value();
    return std::move(error_);
  }
  queue_.close();
  stopped = !queue_.wait_stopped(waiting);
  if (stopped) {
    queue_.stop();
    return std::nullopt;
  }
  if (failure_) std::rethrow_exception(failure_);
  return std::move(error_);
}

}  // namespace quorle::rescue
