#include "engine/parallel_pass.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/record_loop.hpp"
#include "engine/report_sorter.hpp"

namespace quorle::engine {
namespace {

using detail::PassHooks;
using detail::ReportSorter;
using RepeatState = ReportSorter::RepeatState;

// One part of the input sorted apart, its lines numbered from 1.
struct Part {
  ReportPassOutcome out;
  std::uint64_t begin = 0;  // where its first record starts
  std::uint64_t end = 0;    // where the record after its last one starts
  std::uint64_t lines = 0;  // line breaks passed
  RepeatState entry, exit;
  bool reread = false;  // a record was read again for an unterminated quote
  bool whole = false;   // sorted up to its stop or the end, nothing left out
};

// Line starts after `from`: the first at or after every `step` bytes, each once, then the end.
std::vector<std::uint64_t> part_starts(std::string_view data, std::uint64_t from,
                                       std::uint64_t step) {
  std::vector<std::uint64_t> starts{from};
  std::uint64_t nominal = from + step;
  while (nominal < data.size()) {
    // A line starts after an LF, or after a CR not followed by an LF.
    std::size_t p = data.find_first_of("\r\n", nominal - 1);
    if (p == std::string_view::npos) break;
    p += data[p] == '\r' && p + 1 < data.size() && data[p + 1] == '\n' ? 2 : 1;
    if (p >= data.size()) break;
    starts.push_back(p);
    nominal = std::max<std::uint64_t>(p + 1, nominal + step);  // linear however long the lines
  }
  starts.push_back(data.size());
  return starts;
}

// Sorts the records from `begin`, taken as a record's start, before the first at or after
// `stop`, with the settled sorter's rules and `entry` for the repeated-header state. A
// speculative part reads no further than `reach` and stops at a record read again for an
// unterminated quote; otherwise that record's re-read goes on to the end of the input, as the
// pass on one thread reads it.
void sort_part(std::string_view data, const ReportPassOptions& options,
               const ReportSorter& settled, const RepeatState& entry, std::uint64_t begin,
               std::uint64_t stop, std::uint64_t reach, bool speculative,
               const std::atomic<bool>* cancel, Part& part) {
  static const Progress no_progress;
  static const HandOverRows no_hand_over;
  part.out.rows = RowStore(data, options.delimiter, options.quote_char);
  ReportSorter sorter(settled, part.out);
  sorter.set_repeat_state(entry);
  // The tokenizer sees the input up to `reach`. Only an end of input changes how a record reads,
  // so a record reads as in the whole input unless it, or the quoted reading it was read again
  // after (a stray quote), reached that far: then the part is no result.
  const std::string_view seen = data.substr(0, speculative ? reach : data.size());
  RecordTokenizer tokenizer = detail::package_tokenizer(seen, options);
  tokenizer.start_at(begin);
  tokenizer.set_line(1);
  RowDraft record(part.out.rows, data);
  record.set_legacy_cp1252(options.recode_cp1252);
  PassHooks hooks{data, options, part.out, sorter, no_progress, no_hand_over, 0, 0};
  hooks.stop = stop;
  hooks.stop_on_reread = speculative;
  hooks.cancel = cancel;
  const bool to_end = read_records(tokenizer, record, hooks);
  part.begin = begin;
  part.end = tokenizer.position();
  part.lines = tokenizer.line() - 1;
  part.entry = entry;
  part.exit = sorter.repeat_state();
  part.reread = hooks.reread_seen;
  const bool cut = seen.size() < data.size() &&
                   (part.end >= seen.size() || hooks.stray_reach >= tokenizer.line());
  part.whole = !cut && (to_end || (hooks.halted && !(speculative && hooks.reread_seen) &&
                                   !(cancel != nullptr && cancel->load())));
}

void add_sample(LineSample& to, const LineSample& from, std::uint64_t shift) {
  to.count += from.count;
  for (const std::uint64_t line : from.lines) {
    if (to.lines.size() < LineSample::LIMIT && (to.lines.empty() || to.lines.back() != line + shift))
      to.lines.push_back(line + shift);
  }
}

// Repairs that the pass joins with one just before them on the adjacent line.
bool joins(RepairKind kind) { return kind != RepairKind::Reread && kind != RepairKind::StrayQuote; }

// Everything but the rows of a part, its lines shifted, after what `out` holds: a first repair or
// skipped run joined to the last one as the pass would have joined it.
void add_part(ReportPassOutcome& out, const ReportPassOutcome& part, std::uint64_t shift) {
  for (const QuarantinedRecord& q : part.quarantine)
    out.quarantine.push_back({q.first_line + shift, q.last_line + shift, q.begin, q.end, q.reason});
  for (std::size_t j = 0; j < part.repairs.size(); ++j) {
    RepairEvent e = part.repairs[j];
    e.first_line += shift;
    e.last_line += shift;
    if (j == 0 && !out.repairs.empty() && joins(e.kind)) {
      RepairEvent& previous = out.repairs.back();
      if (previous.kind == e.kind && previous.count == e.count &&
          previous.last_line + 1 == e.first_line) {
        previous.last_line = e.last_line;
        continue;
      }
    }
    out.repairs.push_back(e);
  }
  for (std::size_t j = 0; j < part.skipped.size(); ++j) {
    SkippedRun run = part.skipped[j];
    run.first_line += shift;
    run.last_line += shift;
    if (j == 0 && !out.skipped.empty()) {
      SkippedRun& previous = out.skipped.back();
      if (previous.kind == run.kind && previous.last_line + 1 == run.first_line) {
        previous.last_line = run.last_line;
        continue;
      }
    }
    out.skipped.push_back(run);
  }
  out.total_rows += part.total_rows;
  out.good_rows += part.good_rows;
  out.repaired_rows += part.repaired_rows;
  out.blank_lines += part.blank_lines;
  add_sample(out.replaced, part.replaced, shift);
  add_sample(out.recoded, part.recoded, shift);
  add_sample(out.long_quotes, part.long_quotes, shift);
  add_sample(out.rereads, part.rereads, shift);
  add_sample(out.literal_quotes, part.literal_quotes, shift);
  add_sample(out.stray_quotes, part.stray_quotes, shift);
  for (const LineSpan& s : part.row_lines)
    out.row_lines.push_back({s.first_line + shift, s.last_line + shift});
}

// The threads sorting parts ahead of the one putting them together, at most `window` parts
// ahead so that memory stays bounded. The caller may take a part no thread has begun.
class Crew {
 public:
  Crew(std::string_view data, const ReportPassOptions& options, const ReportSorter& settled,
       std::vector<std::uint64_t> starts, std::uint64_t reach, RepeatState first_entry,
       RepeatState later_entry, unsigned threads)
      : data_(data),
        options_(options),
        settled_(settled),
        starts_(std::move(starts)),
        reach_(reach),
        first_entry_(first_entry),
        later_entry_(later_entry),
        parts_(starts_.size() - 1),
        ready_(starts_.size() - 1),
        window_(2 * std::size_t{threads}) {
    try {
      for (unsigned t = 0; t < threads; ++t)
        threads_.emplace_back([this] { work(); });
    } catch (...) {
      // Fewer threads (none could start, or no room for one more): the caller sorts the parts
      // that none begins.
    }
  }
  ~Crew() {
    cancel_flag_.store(true);
    {
      std::lock_guard lock(mutex_);
      cancel_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_)
      t.join();
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  std::size_t size() const { return parts_.size(); }
  /// Stops the threads' sorting at once (the pass was abandoned).
  void cancel() { cancel_flag_.store(true); }
  std::uint64_t start(std::size_t i) const { return starts_[i]; }

  /// Part i as a thread sorted it, or null when none had begun it (it is the caller's now) or
  /// its thread failed.
  std::unique_ptr<Part> take(std::size_t i) {
    std::unique_lock lock(mutex_);
    std::unique_ptr<Part> part;
    if (next_ == i) {
      next_ = i + 1;
    } else {
      changed_.wait(lock, [&] { return ready_[i] != 0; });
      part = std::move(parts_[i]);
    }
    taken_ = i + 1;
    changed_.notify_all();
    return part;
  }

 private:
  void work() {
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          return cancel_ || next_ >= parts_.size() || next_ < taken_ + window_;
        });
        if (cancel_ || next_ >= parts_.size()) return;
        i = next_++;
      }
      std::unique_ptr<Part> part;
      try {
        part = std::make_unique<Part>();
        const std::uint64_t stop = starts_[i + 1];
        // A whole number of the scanner's 64-byte blocks, counted from the input's start: it
        // notes the blocks it loads (RecordSpan::ascii), and loads the same ones here.
        const std::uint64_t rest = data_.size() - stop;
        const std::uint64_t reach =
            reach_ >= rest ? data_.size()
                           : std::min<std::uint64_t>(data_.size(), (stop + reach_ + 63) & ~std::uint64_t{63});
        sort_part(data_, options_, settled_, i == 0 ? first_entry_ : later_entry_, starts_[i],
                  stop, reach, true, &cancel_flag_, *part);
      } catch (...) {
        part.reset();  // sorted again by the caller, where a failure is reported
      }
      {
        std::lock_guard lock(mutex_);
        parts_[i] = std::move(part);
        ready_[i] = 1;
      }
      changed_.notify_all();
    }
  }

  std::string_view data_;
  const ReportPassOptions& options_;
  const ReportSorter& settled_;
  const std::vector<std::uint64_t> starts_;
  const std::uint64_t reach_;
  const RepeatState first_entry_, later_entry_;
  std::vector<std::unique_ptr<Part>> parts_;
  std::vector<std::uint8_t> ready_;  // 1: parts_[i] is final
  const std::size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;   // the next part no thread has begun
  std::size_t taken_ = 0;  // parts the caller took
  bool cancel_ = false;
  std::atomic<bool> cancel_flag_{false};  // read by a sorting thread between records
  std::vector<std::thread> threads_;
};

}  // namespace

bool report_pass_parallel(std::string_view data, const ReportPassOptions& options,
                          ReportPassOutcome& out, const ParallelPlan& plan,
                          const Progress& progress, std::uint64_t progress_step,
                          const HandOverRows& hand_over, std::uint64_t handover_step) {
  if (plan.threads <= 1)
    return report_pass(data, options, out, progress, progress_step, hand_over, handover_step);

  // The records up to the settled header and count, on this thread.
  out.rows = RowStore(data, options.delimiter, options.quote_char);
  ReportSorter sorter(data, options, out);
  detail::settle_count(data, options, sorter);
  RecordTokenizer tokenizer = detail::package_tokenizer(data, options);
  tokenizer.set_line(options.first_line);
  PassHooks hooks{data, options, out, sorter, progress, hand_over, progress_step, handover_step};
  hooks.pause_when_settled = true;
  {
    RowDraft record(out.rows, data);
    record.set_legacy_cp1252(options.recode_cp1252);
    if (read_records(tokenizer, record, hooks)) {  // the whole input was read on the way
      detail::finish_pass(out, sorter.columns(), tokenizer.line());
      return true;
    }
    if (!hooks.halted) return false;
  }

  ReportPassOutcome settled_out;
  const ReportSorter settled(sorter, settled_out);
  const RepeatState first_entry = sorter.repeat_state();
  // Repeats of the header looked for: a row unlike it has most likely come before any later part.
  const RepeatState later_entry =
      out.skips_repeated_header ? RepeatState{true, 0} : first_entry;
  std::uint64_t position = tokenizer.position();
  std::uint64_t line = tokenizer.line();
  RepeatState state = first_entry;
  const auto hand_over_rows = [&](RowStore&& rows) {
    if (rows.empty()) return true;
    out.columns = sorter.columns();
    return hand_over(std::move(rows));
  };
  if (hand_over && !hand_over_rows(std::move(out.rows))) return false;
  if (hand_over) out.rows = RowStore(data, options.delimiter, options.quote_char);

  const std::uint64_t part_bytes = std::max<std::uint64_t>(plan.part_bytes, 1);
  const std::uint64_t reach =
      plan.reach != 0 ? plan.reach : std::max<std::uint64_t>(part_bytes, 64u << 10);
  Crew crew(data, options, settled, part_starts(data, position, part_bytes), reach, first_entry,
            later_entry, plan.threads);
  for (std::size_t i = 0; i < crew.size(); ++i) {
    std::unique_ptr<Part> part = crew.take(i);
    const std::uint64_t stop = crew.start(i + 1);
    if (position >= stop && position < data.size()) continue;  // inside a record before it
    if (!part || !part->whole || part->begin != position || part->entry != state) {
      part = std::make_unique<Part>();
      sort_part(data, options, settled, state, position, stop, data.size(), false, nullptr,
                *part);
    }
    add_part(out, part->out, line - 1);
    position = part->end;
    line += part->lines;
    state = part->exit;
    // Progress first, as the pass on one thread does: a consumer learns how far the pass got
    // before it takes the rows.
    if (progress && position >= hooks.next_report) {
      if (!progress(position)) {
        crew.cancel();
        return false;
      }
      hooks.next_report = position + progress_step;
    }
    if (hand_over) {
      if (!hand_over_rows(std::move(part->out.rows))) {
        crew.cancel();
        return false;
      }
    } else {
      out.rows.append(part->out.rows);
    }
    if (part->reread || position >= data.size()) break;  // sorted to the end
  }
  detail::finish_pass(out, sorter.columns(), line);
  return true;
}

}  // namespace quorle::engine
