// Writing overlapped with parsing: batches of good rows are queued as the pass hands them over and
// written by a thread of their own, so that the two cores share the work.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "engine/row_store.hpp"
#include "rescue/report_output.hpp"

namespace quorle::rescue {

class BatchWriter {
 public:
  /// Called about every 50 ms while the caller waits for the writer; returning false stops.
  using Waiting = std::function<bool()>;

  BatchWriter(int fd, std::string_view input, std::uint8_t output_delimiter,
              InputSource source = {});
  /// Stops the writer, if still running, and waits for its thread.
  ~BatchWriter();
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  /// Queues a batch, waiting while MAX_QUEUED are pending. False when the writer has failed or
  /// `waiting` said stop.
  bool push(engine::RowStore&& rows, const Waiting& waiting);
  /// Waits until every batch is written and the buffer flushed. Returns the first write failure;
  /// `stopped` tells whether `waiting` said stop. Memory exhaustion in the writer is rethrown.
  std::optional<RescueError> finish(const Waiting& waiting, bool& stopped);
  /// Has the writer failed?
  bool failed();

  static constexpr std::size_t MAX_QUEUED = 8;

 private:
  void run();
  // Waits on the condition in steps, asking `waiting` in between; false when it said stop.
  template <class Ready>
  bool wait(std::unique_lock<std::mutex>& lock, const Waiting& waiting, Ready ready);

  CleanRowWriter writer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<engine::RowStore> queue_;
  bool closed_ = false;
  bool done_ = false;
  std::atomic<bool> stop_{false};
  std::optional<RescueError> error_;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace quorle::rescue
