// The Arrow stream's consumer side: an arrow::BatchSource whose get_next turns the rows handed
// over by the pass thread into Arrow arrays, so that at no point are all rows held and the input
// (a mapped file) is only read. At the end it puts the quarantine in place and leaves the outcome
// for the Python side.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/builder.hpp"
#include "arrow/stream.hpp"
#include "engine/report_pass.hpp"
#include "engine/row_store.hpp"
#include "package_native/arrow_rows.hpp"
#include "package_native/commit_files.hpp"
#include "package_native/pass_thread.hpp"
#include "package_native/source_map.hpp"
#include "rescue/rescue_error.hpp"

namespace quorle::native {

/// What the Python side reads once the stream is over: the outcome, or why it failed.
struct Ending {
  enum class State { Running, Done, Failed };
  std::mutex mutex;
  State state = State::Running;
  engine::ReportPassOutcome outcome;
  rescue::RescueError error;  ///< with an errno: the quarantine file failed...
  std::string filename;       ///< ...and this is its path, for an OSError like any other
};

struct Settings {
  engine::ReportPassOptions options;
  engine::ParallelPlan plan;
  std::size_t batch_rows = 65536;
  bool null_padding = false;
  /// The input is a read-only map of a file: pages read past may be dropped from the process.
  bool mapped = false;
  /// The quarantine being written (fd -1: none); an empty target means it is written straight
  /// into a file that is not replaced (a device, a pipe), so it is only closed at the end.
  PendingOutput quarantine;
  std::string quarantine_name;  ///< the path as given, for messages
  /// Owned (released with the lock taken); called from the pass with the offset reached.
  PyObject* progress = nullptr;
};

class PassSource final : public arrow::BatchSource {
 public:
  /// Takes over the buffer `view` (released with the interpreter lock taken) and starts the pass.
  PassSource(Py_buffer view, Settings settings, std::shared_ptr<Ending> ending);
  ~PassSource() override;

  void set_type(arrow::StringType type) { type_ = type; }
  const std::vector<std::string>& names() const { return names_; }

  // Both may wait for the pass: a caller holding the interpreter lock lets it go meanwhile.
  bool schema(ArrowSchema* out) override;
  bool next(ArrowArray* out) override;

  const char* last_error() const override { return error_.message.c_str(); }
  int error_code() const override { return code_; }
  /// The failure as the Python side raises it: with an errno, it names the quarantine file.
  const rescue::RescueError& failure() const { return error_; }
  const std::string& quarantine_name() const { return settings_.quarantine_name; }

 private:
  template <class Work>
  bool without_lock(Work&& work);
  bool fail(std::string message, int code);
  bool fail(rescue::RescueError error, int code);
  bool fail_quarantine(int error);

  bool start();
  bool pop();
  void release_input(std::uint64_t end);
  bool build(ArrowArray* out);
  bool signals_ok();
  bool end(ArrowArray* out);

  Py_buffer view_;
  std::string_view input_;
  SourceWatch source_;
  Settings settings_;
  std::shared_ptr<Ending> ending_;
  arrow::StringType type_ = arrow::StringType::kString;
  ArrowRows rows_;

  bool started_ = false;
  bool ended_ = false;
  std::vector<std::string> names_;
  std::unique_ptr<engine::RowStore> current_;
  std::uint64_t current_passed_ = 0;
  std::uint64_t released_ = 0;
  std::optional<engine::RowStore::Cursor> cursor_;
  std::optional<arrow::StringBatchBuilder> builder_;
  std::uint64_t signal_due_ = 0;
  rescue::RescueError error_;
  int code_ = EIO;

  PassThread pass_;  // last: it starts with the members above in place
};

}  // namespace quorle::native
