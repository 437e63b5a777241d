// Writing overlapped with parsing: the rows the pass hands over are queued and written by a thread
// of their own, so that the two cores share the work. A small input is written on the caller's
// thread as its rows come: starting a thread and handing over would cost more than the overlap
// saves.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <thread>

#include "engine/row_store.hpp"
#include "rescue/handover_queue.hpp"
#include "rescue/report_output.hpp"

namespace quorle::rescue {

class WriterThread {
 public:
  /// Called about every 50 ms while the caller waits for the writer; returning false stops.
  using Waiting = HandOverQueue<engine::RowStore>::Waiting;

  /// Inputs shorter than this are written on the caller's thread, inside push().
  static constexpr std::size_t INLINE_BELOW = std::size_t{4} << 20;

  WriterThread(int fd, std::string_view input, std::uint8_t output_delimiter,
               InputSource source = {}, std::size_t inline_below = INLINE_BELOW);
  /// Stops the writer, if still running, and waits for its thread (if it has one).
  ~WriterThread();
  WriterThread(const WriterThread&) = delete;
  WriterThread& operator=(const WriterThread&) = delete;

  /// Queues rows, waiting while MAX_QUEUED are pending (or writes them, without a thread). False
  /// when the writer has failed or `waiting` said stop.
  bool push(engine::RowStore&& rows, const Waiting& waiting);
  /// Waits until all rows are written and the buffer flushed. Returns the first write failure;
  /// `stopped` tells whether `waiting` said stop. Memory exhaustion in the writer is rethrown.
  std::optional<RescueError> finish(const Waiting& waiting, bool& stopped);
  /// Has the writer failed?
  bool failed() const { return failed_.load(); }

  static constexpr std::size_t MAX_QUEUED = 8;

 private:
  void run();
  bool write_inline(const engine::RowStore& rows);

  CleanRowWriter writer_;
  HandOverQueue<engine::RowStore> queue_{MAX_QUEUED};
  // The writer thread's, seen by the others once it has stopped the queue.
  std::optional<RescueError> error_;
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};
  const bool inline_;
  std::atomic<bool> never_stopped_{false};  // the stop flag of inline writes
  std::thread thread_;
};

}  // namespace quorle::rescue
