#include "rescue/batch_writer.hpp"

#include <chrono>

namespace quorle::rescue {

BatchWriter::BatchWriter(int fd, std::string_view input, std::uint8_t output_delimiter,
                         InputSource source)
    : writer_(fd, input, output_delimiter, source), thread_([this] { run(); }) {}

BatchWriter::~BatchWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BatchWriter::run() {
  std::optional<RescueError> error;
  std::exception_ptr failure;
  try {
    for (;;) {
      engine::RowStore rows;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || closed_ || !queue_.empty(); });
        if (stop_ || queue_.empty()) break;
        rows = std::move(queue_.front());
        queue_.pop_front();
      }
      changed_.notify_all();  // room in the queue
      error = writer_.write(rows, stop_);
      if (error) break;
    }
    if (!error && !stop_) error = writer_.finish();
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = std::move(error);
    failure_ = failure;
    done_ = true;
  }
  changed_.notify_all();
}

template <class Ready>
bool BatchWriter::wait(std::unique_lock<std::mutex>& lock, const Waiting& waiting, Ready ready) {
  while (!changed_.wait_for(lock, std::chrono::milliseconds(50), ready)) {
    lock.unlock();
    const bool go_on = waiting();
    lock.lock();
    if (!go_on) return false;
  }
  return true;
}

bool BatchWriter::push(engine::RowStore&& rows, const Waiting& waiting) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!wait(lock, waiting, [&] { return done_ || queue_.size() < MAX_QUEUED; })) return false;
  if (done_) return false;
  queue_.push_back(std::move(rows));
  lock.unlock();
  changed_.notify_all();
  return true;
}

bool BatchWriter::failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_ && (error_ || failure_);
}

std::optional<RescueError> BatchWriter::finish(const Waiting& waiting, bool& stopped) {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
  stopped = !wait(lock, waiting, [&] { return done_; });
  if (stopped) {
    stop_ = true;
    changed_.notify_all();
    return std::nullopt;
  }
  if (failure_) std::rethrow_exception(failure_);
  return std::move(error_);
}

}  // namespace quorle::rescue
