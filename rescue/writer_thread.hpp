// Writing overlapped with parsing: the rows the pass hands over are queued and written by a thread
// of their own, so that the two cores share the work. The rows of a small input are written on
// the caller's thread: starting a thread and handing over would cost more than the overlap saves.
// Only when their padding cannot swell the output much, though: the writer thread is what lets the
// caller look at signals while a long output is written.
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

  /// Inputs shorter than this are written on the caller's thread, inside push()...
  static constexpr std::size_t INLINE_BELOW = std::size_t{4} << 20;
  /// ...when rows times (columns + 1) stays within this.
  static constexpr std::uint64_t INLINE_FIELDS = std::uint64_t{1} << 24;
  /// The column count of rows whose padding is not known.
  static constexpr std::uint64_t UNKNOWN_WIDTH = ~std::uint64_t{0};

  WriterThread(int fd, std::string_view input, std::uint8_t output_delimiter,
               InputSource source = {}, std::size_t inline_below = INLINE_BELOW);
  /// Stops the writer, if still running, and waits for its thread (if it has one).
  ~WriterThread();
  WriterThread(const WriterThread&) = delete;
  WriterThread& operator=(const WriterThread&) = delete;

  /// Queues rows, waiting while MAX_QUEUED are pending, or writes them here (see INLINE_FIELDS;
  /// `columns`: the count rows are padded to, 0 for none). False when the writer has failed or
  /// `waiting` said stop.
  bool push(engine::RowStore&& rows, const Waiting& waiting,
            std::uint64_t columns = UNKNOWN_WIDTH);
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
  bool inline_;  // rows may still be written on the caller's thread
  std::atomic<bool> never_stopped_{false};  // the stop flag of inline writes
  std::thread thread_;
};

}  // namespace quorle::rescue
