// The Arrow stream's producer: the package's pass on a thread of its own, handing its rows over
// through a bounded queue of two hand-overs, then writing the quarantine (not yet committed).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/parallel_pass.hpp"
#include "engine/report_pass.hpp"
#include "engine/row_store.hpp"
#include "package_native/source_map.hpp"
#include "rescue/handover_queue.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::native {

/// Rows as the pass handed them over.
struct HandedOver {
  engine::RowStore rows;
  std::uint64_t passed = 0;  ///< input the pass had gone through before the last of these rows
};

class PassThread {
 public:
  /// Starts the pass over `input`. All arguments are borrowed for the thread's life; the
  /// quarantine (fd -1: none) is written at the end of the pass.
  PassThread(std::string_view input, const engine::ReportPassOptions& options,
             const engine::ParallelPlan& plan, const SourceWatch& source, int quarantine_fd,
             const std::string& quarantine_name, PyObject* progress = nullptr);
  /// Stops the pass, if still running, and waits for it.
  ~PassThread();
  PassThread(const PassThread&) = delete;
  PassThread& operator=(const PassThread&) = delete;

  /// The next rows, waiting for them; empty at the end of the rows, the pass's failure then
  /// in failure().
  std::optional<HandedOver> pop() { return queue_.pop(); }
  /// Known once the first rows have been popped.
  bool has_header() const { return has_header_; }
  std::uint64_t columns() const { return columns_; }
  /// Once pop() came back empty: why the pass failed, if it did. An errno is the quarantine's.
  const std::optional<rescue::RescueError>& failure() const { return failure_; }

  /// Stops the pass (the consumer went away).
  void stop() { queue_.stop(); }
  /// Waits for the thread; the outcome is the caller's from then on.
  engine::ReportPassOutcome& join();

 private:
  void run();
  bool tell(std::uint64_t at, bool last);
  bool push(engine::RowStore&& rows);

  std::string_view input_;
  const engine::ReportPassOptions& options_;
  const engine::ParallelPlan plan_;
  const SourceWatch& source_;
  const int quarantine_fd_;
  const std::string& quarantine_name_;
  PyObject* const progress_;  // borrowed; null: none
  std::chrono::steady_clock::time_point last_call_{};
  std::string stopped_by_;  // why the progress callable stopped the pass

  rescue::HandOverQueue<HandedOver> queue_;
  // The pass thread's; seen by the consumer through the queue.
  std::uint64_t passed_ = 0;
  bool known_ = false;
  bool has_header_ = false;
  std::uint64_t columns_ = 0;
  std::optional<rescue::RescueError> failure_;
  engine::ReportPassOutcome out_;  // until the thread is joined
  std::thread thread_;
};

}  // namespace quorle::native
