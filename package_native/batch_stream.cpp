#include "package_native/batch_stream.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "arrow/builder.hpp"
#include "arrow/capsule.hpp"
#include "arrow/column_names.hpp"
#include "arrow/schema.hpp"
#include "arrow/stream.hpp"
#include "engine/traced_pass.hpp"
#include "engine/verbatim_fields.hpp"
#include "package_native/commit_files.hpp"
#include "package_native/outcome_dict.hpp"
#include "package_native/pass_arguments.hpp"
#include "package_native/source_map.hpp"
#include "pyboundary/entry_guard.hpp"
#include "pyboundary/errno_error.hpp"
#include "pyboundary/finalizing.hpp"
#include "pyboundary/keywords.hpp"
#include "rescue/traced_output.hpp"

namespace quorle::native {
namespace {

// Input the pass covers between two hand-overs: small, since two of them wait in the queue.
constexpr std::uint64_t HAND_OVER_STEP = std::uint64_t{4} << 20;
// How often the pass looks whether the consumer went away.
constexpr std::uint64_t STOP_STEP = std::uint64_t{1} << 20;
constexpr std::size_t QUEUED = 2;
// A batch ends at this many data bytes even before batch_rows, so wide rows stay bounded too.
constexpr std::uint64_t BATCH_BYTES = std::uint64_t{64} << 20;
// A built row of at most this many fields goes into the batch whole.
constexpr std::uint64_t FIELDS_AT_ONCE = 4096;
// Arena texts from this long on are copied in pieces of this size, and released behind.
constexpr std::size_t RELEASED_TEXT = std::size_t{64} << 20;
// Field bytes built between two looks at pending signals.
constexpr std::uint64_t SIGNAL_STEP = std::uint64_t{64} << 20;
const char* const HANDLE_NAME = "csv_quorle.batches";

bool finalizing() {
  return pyext::interpreter_finalizing();
}

// What the Python side reads once the stream is over: the outcome, or why it failed.
struct Ending {
  enum class State { Running, Done, Failed };
  std::mutex mutex;
  State state = State::Running;
  engine::TracedOutcome outcome;
  std::string error;
  int os_error = 0;      ///< set when a file failed: its errno...
  std::string filename;  ///< ...and its path, for an OSError like any other
};

struct Settings {
  engine::TracedOptions options;
  std::size_t batch_rows = 65536;
  bool null_padding = false;
  /// The input is a read-only map of a file: pages read past may be dropped from the process.
  bool mapped = false;
  /// The quarantine being written (fd -1: none); an empty target means it is written straight
  /// into a file that is not replaced (a device, a pipe), so it is only closed at the end.
  PendingOutput quarantine;
  std::string quarantine_name;  ///< the path as given, for messages
};

class PassSource final : public arrow::BatchSource {
 public:
  PassSource(Py_buffer view, Settings settings, std::shared_ptr<Ending> ending)
      : view_(view),
        input_(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
        source_(input_),
        settings_(std::move(settings)),
        ending_(std::move(ending)) {
    thread_ = std::thread([this] { run(); });
  }

  ~PassSource() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (settings_.quarantine.fd >= 0) {  // not committed: an unnamed file goes with its descriptor
      ::close(settings_.quarantine.fd);
      if (!settings_.quarantine.temporary.empty()) ::unlink(settings_.quarantine.temporary.c_str());
    }
    if (view_.obj && !finalizing()) {
      const PyGILState_STATE gil = PyGILState_Ensure();
      PyBuffer_Release(&view_);
      PyGILState_Release(gil);
    }
  }

  void set_type(arrow::StringType type) { type_ = type; }

  // Waits for the first rows (or the end) so that the columns are known. Call without the lock.
  bool start() {
    if (started_) return true;
    if (!pop()) {
      if (!error_.empty()) return false;
    }
    started_ = true;
    if (has_header_ && current_) {
      engine::StoredRow row;
      if (cursor_->next(row, true)) {
        std::vector<std::string_view> fields(row.fields.begin(), row.fields.end());
        if (row.verbatim && row.fields.empty()) split(row, fields);
        for (std::string_view f : fields)
          names_.emplace_back(f);
      }
    }
    names_.resize(columns_);
    return true;
  }

  const std::vector<std::string>& names() const { return names_; }

  // Both may wait for the pass: a caller holding the interpreter lock lets it go meanwhile.
  bool schema(ArrowSchema* out) override {
    return without_lock([&] {
      if (!start()) return false;
      arrow::export_schema(names_, type_, out);
      return true;
    });
  }

  bool next(ArrowArray* out) override {
    return without_lock([&] { return build(out); });
  }

  const char* last_error() const override { return error_.c_str(); }
  int file_error() const { return file_error_; }
  const std::string& quarantine_name() const { return settings_.quarantine_name; }
  int error_code() const override { return code_; }

 private:
  template <class Work>
  bool without_lock(Work&& work) {
    const bool gil = !finalizing() && PyGILState_Check() != 0;
    PyThreadState* state = gil ? PyEval_SaveThread() : nullptr;
    const bool ok = guarded(work);
    if (gil) PyEval_RestoreThread(state);
    return ok;
  }

  template <class Work>
  bool guarded(Work&& work) {
    try {
      return work();
    } catch (...) {
      pyext::FailureText failure = pyext::describe_current_exception();
      return fail(std::move(failure.message), failure.code);
    }
  }

  bool fail(std::string message, int code) {
    error_ = std::move(message);
    code_ = code;
    std::lock_guard<std::mutex> lock(ending_->mutex);
    ending_->state = Ending::State::Failed;
    ending_->error = error_;
    ending_->os_error = file_error_;
    if (file_error_ != 0) ending_->filename = settings_.quarantine_name;
    return false;
  }

  // The quarantine file failed with `error`: the message names it; the errno travels along.
  bool fail_quarantine(int error) {
    file_error_ = error;
    return fail("cannot write the quarantine file " + settings_.quarantine_name + ": " +
                    std::strerror(error),
                error);
  }

  // --- the pass thread ---

  void run() {
    std::string failure;
    int quarantine_errno = 0;
    try {
      const engine::Progress progress = [this](std::uint64_t at) {
        passed_ = at;
        return !stop_.load() && !source_.faulted();
      };
      const engine::Batches batches = [this](engine::RowStore&& rows) {
        return push(std::move(rows));
      };
      if (engine::traced_pass(input_, settings_.options, out_, progress, STOP_STEP, batches,
                              HAND_OVER_STEP) &&
          push(std::move(out_.rows)) && settings_.quarantine.fd >= 0) {
        if (auto e = rescue::write_traced_quarantine(settings_.quarantine.fd, out_, input_,
                                                     settings_.options.recode_cp1252)) {
          failure =
              "cannot write the quarantine file " + settings_.quarantine_name + ": " + e->message;
          quarantine_errno = e->os_error;
        }
      }
    } catch (...) {
      failure = pyext::describe_current_exception().message;
    }
    if (source_.faulted()) failure = source_.message();  // what was read is zeros
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pass_done_ = true;
      pass_error_ = std::move(failure);
      pass_errno_ = quarantine_errno;
    }
    changed_.notify_all();
  }

  bool push(engine::RowStore&& rows) {
    // Rows handed over empty (a long run of blank lines) are left out: the first rows the
    // consumer sees must come with the header and the column count, which may not be known yet.
    if (rows.empty()) return !stop_.load();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!known_) {
      known_ = true;
      has_header_ = out_.has_header;
      columns_ = out_.columns;
    }
    changed_.wait(lock, [&] { return stop_ || queue_.size() < QUEUED; });
    if (stop_) return false;
    queue_.push_back({std::move(rows), passed_});
    lock.unlock();
    changed_.notify_all();
    return true;
  }

  // --- the consumer ---

  // The next stored rows into current_; false at the end of the rows or on failure (error_ set).
  bool pop() {
    cursor_.reset();
    current_.reset();
    release_input(current_passed_);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty() || pass_done_; });
    if (queue_.empty()) {
      if (pass_errno_ != 0) return fail_quarantine(pass_errno_);
      if (!pass_error_.empty()) return fail(pass_error_, EIO);
      return false;
    }
    current_ = std::make_unique<engine::RowStore>(std::move(queue_.front().rows));
    current_passed_ = queue_.front().passed;
    queue_.pop_front();
    lock.unlock();
    changed_.notify_all();
    cursor_.emplace(*current_);
    return true;
  }

  // The input's pages before `end` are read no more by any row to come: a mapped file lets them
  // go from the process (they stay in the page cache), so its resident memory stays that of the
  // batches. The quarantine, written at the end, reads its records back in.
  void release_input(std::uint64_t end) {
    if (!settings_.mapped) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto base = reinterpret_cast<std::uintptr_t>(input_.data());
    const std::uintptr_t from = (base + released_ + page - 1) / page * page;
    const std::uintptr_t to = (base + end) / page * page;
    if (to <= from) return;
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released_ = to - base;
  }

  void split(const engine::StoredRow& row, std::vector<std::string_view>& fields) {
    if (row.quote_free) {
      engine::split_quote_free(row.raw, settings_.options.delimiter, fields);
    } else {
      engine::split_verbatim(row.raw, settings_.options.delimiter, settings_.options.quote_char,
                             fields, unescaped_);
    }
  }

  // One stored row into the batch. A built row's fields come from the cursor one at a time, so a
  // row of millions of fields needs no list of them; a short one goes in whole.
  void add(arrow::StringBatchBuilder& b, const engine::StoredRow& row, std::uint64_t stored) {
    if (!row.verbatim) {
      if (stored <= FIELDS_AT_ONCE) {
        fields_.resize(stored);
        bool long_text = false;
        for (std::string_view& f : fields_) {
          f = cursor_->next_field().text;
          long_text |= f.size() >= RELEASED_TEXT;
        }
        if (!long_text) return b.row(fields_);
        for (const std::string_view f : fields_)
          add_text(b, f);
        return b.end_row();
      }
      for (std::uint64_t i = 0; i < stored; ++i)
        add_text(b, cursor_->next_field().text);
      return b.end_row();
    }
    if (row.quote_free && row.padding == 0) {
      return b.delimited_row(row.raw.data(), row.raw.data() + row.raw.size(),
                             static_cast<char>(settings_.options.delimiter));
    }
    if (row.raw.size() < RELEASED_TEXT) {
      split(row, fields_);
      return b.row(fields_);
    }
    // A long verbatim row: its fields one at a time, a quoted one with doubled quotes unescaped
    // straight into the batch rather than into a copy first.
    const char* s = row.raw.data();
    const auto quote = static_cast<char>(settings_.options.quote_char);
    engine::for_each_well_formed_field(
        row.raw, settings_.options.delimiter, settings_.options.quote_char,
        [&](std::size_t begin, std::size_t end, std::size_t quotes) {
          if (quotes == 0) return b.field(s + begin, end - begin);
          if (quotes == 2) return b.field(s + begin + 1, end - begin - 2);
          const std::size_t size = end - begin - 2 - (quotes - 2) / 2;
          if (char* to = b.field_room(size)) {
            engine::copy_unescaped(to, s + begin + 1, end - begin - 2, quote);
            return;
          }
          unescaped_.resize(size);
          engine::copy_unescaped(unescaped_.data(), s + begin + 1, end - begin - 2, quote);
          b.field(unescaped_);
        });
    b.end_row();
  }

  // A long text is copied in pieces; when it lies in the store's arena, each piece's pages are
  // given back once copied (the arena is read once, in order), so that it never exists twice in
  // full. (Pages of the input are left alone: release_arena_before ignores places outside the
  // arena.)
  void add_text(arrow::StringBatchBuilder& b, std::string_view text) {
    char* to = text.size() >= RELEASED_TEXT ? b.field_room(text.size()) : nullptr;
    if (to == nullptr) return b.field(text);
    for (std::size_t at = 0; at < text.size(); at += RELEASED_TEXT) {
      const std::size_t n = std::min(RELEASED_TEXT, text.size() - at);
      std::memcpy(to + at, text.data() + at, n);
      current_->release_arena_before(text.data() + at + n);
    }
  }

  bool build(ArrowArray* out) {
    if (!start()) return false;
    if (!builder_) {
      arrow::BuilderOptions o;
      o.type = type_;
      o.null_padding = settings_.null_padding;
      builder_.emplace(columns_, o);
    }
    arrow::StringBatchBuilder& b = *builder_;
    engine::StoredRow row;
    std::uint64_t stored = 0;
    std::size_t since_check = 0;
    while (!b.full() && b.rows() < settings_.batch_rows) {
      if (!cursor_ || !cursor_->next_head(row, stored)) {
        if (!pop()) {
          if (!error_.empty()) return false;
          break;
        }
        continue;
      }
      add(b, row, stored);
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
  bool signals_ok() {
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
  bool end(ArrowArray* out) {
    out->release = nullptr;
    if (ended_) return true;
    if (thread_.joinable()) thread_.join();
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
    ending_->outcome = std::move(out_);
    ending_->state = Ending::State::Done;
    return true;
  }

  Py_buffer view_;
  std::string_view input_;
  SourceWatch source_;
  Settings settings_;
  std::shared_ptr<Ending> ending_;
  arrow::StringType type_ = arrow::StringType::kString;

  // Shared with the pass thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  struct HandedOver {
    engine::RowStore rows;
    std::uint64_t passed;  // input the pass had gone through before these rows' last one
  };
  std::deque<HandedOver> queue_;
  std::uint64_t passed_ = 0;  // the pass thread's
  std::atomic<bool> stop_{false};
  bool known_ = false;
  bool has_header_ = false;
  std::uint64_t columns_ = 0;
  bool pass_done_ = false;
  std::string pass_error_;
  int pass_errno_ = 0;
  engine::TracedOutcome out_;  // the pass thread's until it is joined
  std::thread thread_;

  // The consumer's.
  bool started_ = false;
  bool ended_ = false;
  std::vector<std::string> names_;
  std::unique_ptr<engine::RowStore> current_;
  std::uint64_t current_passed_ = 0;
  std::uint64_t released_ = 0;
  std::optional<engine::RowStore::Cursor> cursor_;
  std::vector<std::string_view> fields_;
  std::string unescaped_;
  std::optional<arrow::StringBatchBuilder> builder_;
  std::uint64_t signal_due_ = 0;
  std::string error_;
  int code_ = EIO;
  int file_error_ = 0;
};

// What the Python handle holds: the source until the stream is taken, the ending for good.
struct Handle {
  std::mutex busy;  // held by the one call using the source (see HandleUse)
  std::unique_ptr<PassSource> source;
  std::shared_ptr<Ending> ending;
};

// One call at a time uses a handle's source. Threads sharing a RecordBatches would otherwise both
// take the first rows to learn the columns (one of them losing a batch), or one would take the
// stream, and free the source with it, while another still waits in it. A waiter lets the
// interpreter lock go, since the holder takes it back when its wait for the pass ends.
class HandleUse {
 public:
  explicit HandleUse(Handle& h) : hold_(h.busy, std::try_to_lock) {
    if (hold_) return;
    PyThreadState* state = PyEval_SaveThread();
    struct Restore {
      PyThreadState* state;
      ~Restore() { PyEval_RestoreThread(state); }
    } restore{state};
    hold_.lock();
  }

 private:
  std::unique_lock<std::mutex> hold_;
};

void destroy_handle(PyObject* capsule) {
  auto* h = static_cast<Handle*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
  if (!h) {
    PyErr_Clear();
    return;
  }
  Py_BEGIN_ALLOW_THREADS;  // the pass thread is joined; it never needs the lock
  h->source.reset();
  Py_END_ALLOW_THREADS;
  delete h;
}

Handle* handle_of(PyObject* capsule) {
  return static_cast<Handle*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
}

// The source, for a caller holding the handle (HandleUse).
PassSource* source_of(Handle* h) {
  if (!h) return nullptr;
  if (!h->source) {
    PyErr_SetString(PyExc_RuntimeError, "the batches' stream was already taken");
    return nullptr;
  }
  return h->source.get();
}

// A file's failure is the OSError of its errno naming the file; any other is a plain OSError.
PyObject* raise_failure(const char* message, int os_error = 0, const std::string& filename = {}) {
  if (os_error == 0) {
    PyErr_SetString(PyExc_OSError, message);
    return nullptr;
  }
  pyext::PyRef name = pyext::PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(filename.data(), static_cast<Py_ssize_t>(filename.size())));
  if (!name) return nullptr;
  return pyext::raise_errno_error(os_error, name.get());
}

}  // namespace

namespace {

// open_batches(buffer, /, *, ...): the batches and the quarantine, then the pass's options.
constexpr std::array<pyext::Parameter, 8> OPEN_OWN_PARAMETERS = {{
    {"buffer"},
    {"batch_rows"},
    {"null_padding"},
    {"mapped"},
    {"quarantine_fd"},
    {"quarantine_temporary"},
    {"quarantine_target"},
    {"quarantine_name"},
}};
constexpr auto OPEN_PARAMETERS = pyext::joined(OPEN_OWN_PARAMETERS, PASS_PARAMETERS);
enum OpenArgument {
  BUFFER, BATCH_ROWS, NULL_PADDING, MAPPED, QUARANTINE_FD, QUARANTINE_TEMPORARY,
  QUARANTINE_TARGET, QUARANTINE_NAME, PASS_OPTIONS
};
static_assert(PASS_OPTIONS == OPEN_OWN_PARAMETERS.size());
pyext::ParameterTable open_parameters{"open_batches()", 1, OPEN_PARAMETERS};

PyObject* open_batches_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[OPEN_PARAMETERS.size()];
  if (!pyext::bind_keywords(open_parameters, args, nargs, kwnames, a)) return nullptr;
  Settings s;
  long long batch_rows = 0;
  int quarantine_fd = -1;
  std::string temporary, target, name;
  if (!pyext::long_argument(a[BATCH_ROWS], "batch_rows", batch_rows) ||
      !pyext::truth_argument(a[NULL_PADDING], "null_padding", s.null_padding) ||
      !pyext::truth_argument(a[MAPPED], "mapped", s.mapped) ||
      !pyext::int_argument(a[QUARANTINE_FD], "quarantine_fd", quarantine_fd) ||
      !pyext::path_bytes_argument(a[QUARANTINE_TEMPORARY], "quarantine_temporary", temporary) ||
      !pyext::path_bytes_argument(a[QUARANTINE_TARGET], "quarantine_target", target) ||
      !pyext::path_bytes_argument(a[QUARANTINE_NAME], "quarantine_name", name) ||
      !pass_options(a + PASS_OPTIONS, s.options)) {
    return nullptr;
  }
  if (s.options.first_line == 0) {
    PyErr_SetString(PyExc_ValueError, "first_line counts from 1");
    return nullptr;
  }
  Py_buffer view{};
  if (PyObject_GetBuffer(a[BUFFER], &view, PyBUF_SIMPLE) < 0) {
    pyext::note_parameter("buffer");
    return nullptr;
  }
  s.batch_rows = batch_rows > 0 ? static_cast<std::size_t>(batch_rows) : 1;
  Handle* h = nullptr;
  try {
    if (quarantine_fd >= 0) {
      s.quarantine.temporary = std::move(temporary);
      s.quarantine.target = std::move(target);
      s.quarantine_name = std::move(name);
    }
    s.quarantine.fd = quarantine_fd;  // owned from here on
    h = new Handle;
    h->ending = std::make_shared<Ending>();
    h->source = std::make_unique<PassSource>(view, std::move(s), h->ending);
  } catch (...) {
    delete h;
    if (quarantine_fd >= 0 && s.quarantine.fd >= 0) ::close(quarantine_fd);
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(h, HANDLE_NAME, destroy_handle);
  if (!capsule) {
    Py_BEGIN_ALLOW_THREADS;
    h->source.reset();
    Py_END_ALLOW_THREADS;
    delete h;
  }
  return capsule;
}

}  // namespace

PyObject* open_batches(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return pyext::guarded<PyObject*>(nullptr,
                                   [&] { return open_batches_impl(args, nargs, kwnames); });
}

PyObject* batches_names(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  PassSource* s = source_of(h);
  if (!s) return nullptr;
  ArrowSchema schema{};
  if (!s->schema(&schema)) {
    return raise_failure(s->last_error(), s->file_error(), s->quarantine_name());
  }
  schema.release(&schema);
  std::vector<std::string> names;
  try {
    names = arrow::unique_column_names(s->names());
  } catch (...) {
    return PyErr_NoMemory();
  }
  pyext::PyRef list = pyext::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* n =
        PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    if (!n) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
  }
  return list.release();
}

PyObject* batches_schema(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  PassSource* s = source_of(h);
  if (!s) return nullptr;
  ArrowSchema schema{};
  if (!s->schema(&schema)) {
    return raise_failure(s->last_error(), s->file_error(), s->quarantine_name());
  }
  return arrow::py::schema_capsule(&schema);
}

PyObject* batches_stream(PyObject*, PyObject* args) {
  PyObject *handle, *requested;
  if (!PyArg_ParseTuple(args, "OO:batches_stream", &handle, &requested)) return nullptr;
  const ArrowSchema* wanted = nullptr;
  if (!arrow::py::requested_schema(requested, &wanted)) return nullptr;
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  HandleUse use(*h);
  PassSource* s = source_of(h);
  if (!s) return nullptr;
  if (auto type = arrow::requested_string_type(wanted)) s->set_type(*type);
  ArrowArrayStream stream{};
  if (!arrow::export_stream(std::move(h->source), &stream)) return PyErr_NoMemory();
  return arrow::py::stream_capsule(&stream);
}

PyObject* batches_result(PyObject*, PyObject* handle) {
  Handle* h = handle_of(handle);
  if (!h) return nullptr;
  std::lock_guard<std::mutex> lock(h->ending->mutex);
  switch (h->ending->state) {
    case Ending::State::Running: Py_RETURN_NONE;
    case Ending::State::Failed:
      return raise_failure(h->ending->error.c_str(), h->ending->os_error, h->ending->filename);
    case Ending::State::Done: break;
  }
  return outcome_dict(h->ending->outcome);
}

}  // namespace quorle::native
