// Throughput of the engine on one file: the counting pass that the trial passes use (run over the
// whole file here, so it can be timed), the sniffer, the inference, process_buffer and the
// package's report_pass, with the memory their outcomes hold; then the same on the portable path,
// which processors without the vector code take. Wall times of one run; compare versions by user
// CPU time. With --isa, only that block classifier is timed.
//
//   engine_bench FILE [--repeat N] [--delimiter C] [--isa scalar|sse2|avx2|avx512|neon]
//   engine_bench --hostile BYTES   (the quadratic closing-quote pattern, and twice its size)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/block_masks.hpp"
#include "engine/find_bytes.hpp"
#include "engine/column_count.hpp"
#include "engine/pipeline.hpp"
#include "engine/sniffer.hpp"
#include "engine/tokenizer.hpp"
#include "engine/report_pass.hpp"

namespace quorle::bench {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double user_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6;
}

std::string_view map_file(const char* path) {
  const int fd = open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
    std::perror(path);
    std::exit(2);
  }
  void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                 MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    std::perror("mmap");
    std::exit(2);
  }
  return {static_cast<const char*>(p), static_cast<std::size_t>(st.st_size)};
}

// The best of `repeat` runs, in seconds, with user CPU seconds of that run.
template <class F>
std::pair<double, double> best_of(int repeat, F&& f) {
  double best = 1e30, best_user = 0;
  for (int i = 0; i < repeat; ++i) {
    const double u0 = user_seconds();
    const auto t0 = Clock::now();
    f();
    const double t = seconds_since(t0);
    if (t < best) {
      best = t;
      best_user = user_seconds() - u0;
    }
  }
  return {best, best_user};
}

void report(const char* what, std::size_t bytes, std::pair<double, double> t) {
  std::printf("%-46s %9.3f ms  %8.0f MB/s  (user %.3f ms)\n", what, t.first * 1e3,
              static_cast<double>(bytes) / t.first / 1e6, t.second * 1e3);
}

std::uint64_t counting_pass(std::string_view data, std::uint8_t delimiter) {
  engine::RecordTokenizer tokenizer(data, delimiter, '"', true);
  engine::FieldCounter counter(data);
  std::uint64_t fields = 0;
  while (tokenizer.next(counter))
    fields += counter.field_count();
  return fields;
}

// The delimiters of every line, found by the byte-search kernel K as a stored row is split.
template <class K>
std::size_t delimiters_by_line(std::string_view data, std::uint8_t delimiter) {
  std::size_t total = 0;
  for (std::size_t from = 0; from < data.size();) {
    const std::size_t end = std::min(data.find('\n', from), data.size());
    engine::find_bytes::for_each_match<K>(
        data.data() + from, end - from, [&](std::size_t) { ++total; }, delimiter);
    from = end + 1;
  }
  return total;
}

std::string_view classifier_name(engine::ClassifyBlock classify) {
  for (const std::string_view name : engine::BLOCK_CLASSIFIERS) {
    if (engine::block_classifier(name) == classify) return name;
  }
  return "?";
}

// The same work on the portable path: what a processor without the vector code gets.
void scalar_figures(std::string_view data, const engine::RepairOptions& options, int repeat) {
  using namespace engine;
  const ClassifyBlock chosen = best_block_classifier();
  std::printf("portable path against the %s classifier and %s searches above:\n",
              std::string(classifier_name(chosen)).c_str(), find_bytes::Native::name);
  use_block_classifier(&classify_block_scalar);
  report("counting pass [scalar]", data.size(),
         best_of(repeat, [&] { (void)counting_pass(data, options.delimiter.value()); }));
  report("process_buffer (delimiter, columns) [scalar]", data.size(),
         best_of(repeat, [&] { (void)process_buffer(data, options); }));
  use_block_classifier(chosen);
  std::size_t native = 0, words = 0;
  const std::uint8_t d = options.delimiter.value();
  report((std::string("delimiters by line [") + find_bytes::Native::name + "]").c_str(),
         data.size(),
         best_of(repeat, [&] { native = delimiters_by_line<find_bytes::Native>(data, d); }));
  report("delimiters by line [words]", data.size(),
         best_of(repeat, [&] { words = delimiters_by_line<find_bytes::Words>(data, d); }));
  if (native != words) std::printf("  MISMATCH: %zu against %zu\n", native, words);
}

int run_file(const char* path, int repeat, std::optional<std::uint8_t> delimiter, bool portable) {
  const std::string_view data = map_file(path);
  std::printf("file %s: %.1f MB\n", path, static_cast<double>(data.size()) / 1e6);

  std::uint8_t d = ',';
  report("sniff_delimiter", data.size(),
         best_of(repeat, [&] { d = engine::sniff_delimiter(data); }));
  if (delimiter) d = *delimiter;
  std::uint64_t columns = 0;
  report("infer_column_count", data.size(),
         best_of(repeat, [&] { columns = engine::infer_column_count(data, d); }));
  std::printf("  delimiter %d, columns %llu (both passes stop after their sample)\n", d,
              static_cast<unsigned long long>(columns));

  std::uint64_t fields = 0;
  report("counting pass, whole file", data.size(),
         best_of(repeat, [&] { fields = counting_pass(data, d); }));
  std::printf("  %llu fields\n", static_cast<unsigned long long>(fields));

  engine::RepairOptions options;
  options.delimiter = d;
  options.expected_columns = columns;
  std::size_t memory = 0;
  std::uint64_t rows = 0, repaired = 0, quarantined = 0;
  report("process_buffer (delimiter, columns)", data.size(), best_of(repeat, [&] {
           const engine::BufferOutcome out = engine::process_buffer(data, options);
           memory = out.memory_bytes();
           rows = out.quorled_rows;
           repaired = out.repaired_rows;
           quarantined = out.quarantined_rows;
         }));
  report("process_buffer (all detected)", data.size(), best_of(repeat, [&] {
           const engine::BufferOutcome out = engine::process_buffer(data, {});
           (void)out;
         }));
  // The package's pass: a header, rows drafted into the row store, fitted to the header's width.
  std::size_t report_memory = 0;
  engine::ReportPassOptions package_options;
  package_options.delimiter = d;
  report("report_pass (the package's pass)", data.size(), best_of(repeat, [&] {
           engine::ReportPassOutcome out;
           (void)engine::report_pass(data, package_options, out);
           report_memory = out.rows.memory_bytes();
         }));
  std::printf("  its rows' memory %.1f MB = %.3f x input\n",
              static_cast<double>(report_memory) / 1e6,
              static_cast<double>(report_memory) / static_cast<double>(data.size()));
  // Linear time: the whole file against its first half (cut after a line feed).
  const std::size_t half = data.substr(0, data.size() / 2).rfind('\n') + 1;
  const auto t_half =
      best_of(repeat, [&] { (void)engine::process_buffer(data.substr(0, half), options); });
  const auto t_full = best_of(repeat, [&] { (void)engine::process_buffer(data, options); });
  std::printf("  doubling the input (%.0f MB -> %.0f MB): %.2f x the time (user %.2f x)\n",
              static_cast<double>(half) / 1e6, static_cast<double>(data.size()) / 1e6,
              t_full.first / t_half.first, t_full.second / t_half.second);
  std::printf("  good rows %llu, repaired %llu, quarantined %llu\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(repaired),
              static_cast<unsigned long long>(quarantined));
  std::printf("  outcome memory %.1f MB = %.3f x input\n", static_cast<double>(memory) / 1e6,
              static_cast<double>(memory) / static_cast<double>(data.size()));
  if (portable) scalar_figures(data, options, repeat);
  return 0;
}

// A line of lone quotes, each followed by text: `"x"x"x…"x",` then a line break. Every quote
// asks the closing-quote test, whose plain form re-scans the rest of the line each time.
std::string hostile_line(std::size_t bytes) {
  std::string s = "\"";
  while (s.size() + 3 < bytes)
    s += "x\"";
  s += "x\",\n";
  return s;
}

int run_hostile(std::size_t bytes, int repeat) {
  double previous = 0;
  for (const std::size_t size : {bytes, 2 * bytes}) {
    const std::string line = hostile_line(size);
    engine::RepairOptions options;
    options.delimiter = ',';
    options.expected_columns = 2;
    const auto pass = best_of(repeat, [&] { (void)counting_pass(line, ','); });
    const auto full = best_of(repeat, [&] { (void)engine::process_buffer(line, options); });
    std::printf("hostile line of %zu bytes: counting pass %.3f ms, process_buffer %.3f ms\n",
                line.size(), pass.first * 1e3, full.first * 1e3);
    if (previous > 0) std::printf("  doubling the line: %.2f x the time\n", full.first / previous);
    previous = full.first;
  }
  return 0;
}

}  // namespace
}  // namespace quorle::bench

int main(int argc, char** argv) {
  int repeat = 3;
  std::optional<std::uint8_t> delimiter;
  const char* path = nullptr;
  std::size_t hostile = 0;
  bool portable = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (a == "--delimiter" && i + 1 < argc) {
      delimiter = static_cast<std::uint8_t>(argv[++i][0]);
    } else if (a == "--isa" && i + 1 < argc) {
      const quorle::engine::ClassifyBlock classify = quorle::engine::block_classifier(argv[++i]);
      if (!classify) {
        std::fprintf(stderr, "%s: not in this build or processor\n", argv[i]);
        return 2;
      }
      quorle::engine::use_block_classifier(classify);
      portable = false;
    } else if (a == "--hostile" && i + 1 < argc) {
      hostile = std::strtoull(argv[++i], nullptr, 10);
    } else {
      path = argv[i];
    }
  }
  if (hostile) return quorle::bench::run_hostile(hostile, repeat);
  if (!path) {
    std::fprintf(
        stderr,
        "usage: engine_bench FILE [--repeat N] [--delimiter C] [--isa NAME] | --hostile BYTES\n");
    return 2;
  }
  return quorle::bench::run_file(path, repeat, delimiter, portable);
}
