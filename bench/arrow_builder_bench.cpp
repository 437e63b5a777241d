// Throughput of building Arrow batches from the tokenizer's fields, to show that building is not
// what limits read_arrow. Three passes over one file, each the best of --repeat runs:
//   tokenize         the tokenizer and field collector alone (fields split, lengths summed)
//   tokenize+build   the same, every field appended to a StringBatchBuilder, every batch finished
//                    and released at once (a consumer that drops batches)
//   build only       the builder's share of the second pass: fields of each batch collected as
//                    spans first, only the appends and finish() timed
//   tokenize+split   as tokenize+build, but records without quotes reach the builder whole and
//                    are split there (delimited_row), as the streaming core should feed it
//
//   arrow_builder_bench FILE [--repeat N] [--batch-rows N] [--delimiter C] [--large]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/builder.hpp"
#include "engine/tokenizer.hpp"

namespace quorle::bench {
namespace {

using Clock = std::chrono::steady_clock;

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

struct Totals {
  std::uint64_t rows = 0, fields = 0, field_bytes = 0;
  double seconds = 0, user = 0;  // of the timed part
};

struct Settings {
  std::uint8_t delimiter = ',';
  std::size_t columns = 0;
  std::size_t batch_rows = 65536;
  arrow::BuilderOptions options;
};

// Runs the tokenizer over the file and hands each record's fields to `row`; `batch` after every
// batch_rows records and at the end.
template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

// A record handler that takes every record through the collector's fields.
template <class Row>
auto all_fields(Row row) {
  return Overload{row, [](const engine::RecordSpan&) { return false; }};
}

template <class Row, class Batch>
void tokenize(std::string_view data, const Settings& s, Totals& t, Row row, Batch batch) {
  engine::RecordTokenizer tokenizer(data, s.delimiter, '"', true);
  engine::FieldCollector fields(data);
  std::size_t in_batch = 0;
  while (tokenizer.next(fields)) {
    const engine::RecordSpan& span = tokenizer.last_span();
    if (!row(span)) {
      const std::vector<engine::FieldText>& f = fields.fields();
      const std::size_t n = f.size() < s.columns ? f.size() : s.columns;
      row(fields, f.data(), n);
      t.fields += n;
    } else {
      t.fields += fields.field_count();
    }
    ++t.rows;
    if (++in_batch == s.batch_rows) {
      batch();
      in_batch = 0;
    }
  }
  if (in_batch != 0) batch();
}

Totals tokenize_only(std::string_view data, const Settings& s) {
  Totals t;
  tokenize(
      data, s, t,
      all_fields([&](const engine::FieldCollector& c, const engine::FieldText* f, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
          t.field_bytes += c.text(f[i]).size();
      }),
      [] {});
  return t;
}

void finish_and_drop(arrow::StringBatchBuilder& builder) {
  ArrowArray batch;
  builder.finish(&batch);
  batch.release(&batch);
}

Totals tokenize_and_build(std::string_view data, const Settings& s) {
  Totals t;
  arrow::StringBatchBuilder builder(s.columns, s.options);
  std::vector<std::string_view> row;
  tokenize(
      data, s, t,
      all_fields([&](const engine::FieldCollector& c, const engine::FieldText* f, std::size_t n) {
        row.clear();
        for (std::size_t i = 0; i < n; ++i) {
          row.push_back(c.text(f[i]));
          t.field_bytes += row.back().size();
        }
        builder.row(row);
        if (builder.full()) finish_and_drop(builder);
      }),
      [&] { finish_and_drop(builder); });
  return t;
}

// As above, but a record without quotes goes to the builder whole, split there: the collector
// never splits it.
Totals tokenize_and_build_plain(std::string_view data, const Settings& s) {
  Totals t;
  arrow::StringBatchBuilder builder(s.columns, s.options);
  std::vector<std::string_view> row;
  auto general = [&](const engine::FieldCollector& c, const engine::FieldText* f, std::size_t n) {
    row.clear();
    for (std::size_t i = 0; i < n; ++i) {
      row.push_back(c.text(f[i]));
      t.field_bytes += row.back().size();
    }
    builder.row(row);
    if (builder.full()) finish_and_drop(builder);
  };
  auto plain = [&](const engine::RecordSpan& span) {
    if (!span.quote_free) return false;
    builder.delimited_row(data.data() + span.begin, data.data() + span.end,
                          static_cast<char>(s.delimiter));
    t.field_bytes += span.end - span.begin;  // delimiters included: a close upper bound
    if (builder.full()) finish_and_drop(builder);
    return true;
  };
  tokenize(data, s, t, Overload{general, plain}, [&] { finish_and_drop(builder); });
  return t;
}

// Fields of a batch as copies (the collector's scratch is reused per record), then the builder
// alone, timed per batch.
Totals build_only(std::string_view data, const Settings& s) {
  Totals t;
  arrow::StringBatchBuilder builder(s.columns, s.options);
  std::string text;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint32_t> counts;
  std::vector<std::string_view> row;
  tokenize(
      data, s, t,
      all_fields([&](const engine::FieldCollector& c, const engine::FieldText* f, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
          const std::string_view v = c.text(f[i]);
          text.append(v);
          lengths.push_back(static_cast<std::uint32_t>(v.size()));
        }
        counts.push_back(static_cast<std::uint32_t>(n));
      }),
      [&] {
        const double u0 = user_seconds();
        const auto t0 = Clock::now();
        const char* p = text.data();
        std::size_t at = 0;
        for (std::uint32_t n : counts) {
          row.clear();
          for (std::uint32_t i = 0; i < n; ++i) {
            row.emplace_back(p, lengths[at]);
            p += lengths[at++];
          }
          builder.row(row);
          if (builder.full()) finish_and_drop(builder);
        }
        finish_and_drop(builder);
        t.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        t.user += user_seconds() - u0;
        t.field_bytes += text.size();
        text.clear();
        lengths.clear();
        counts.clear();
      });
  return t;
}

template <class Pass>
void run(const char* name, std::string_view data, const Settings& s, int repeat, Pass pass,
         bool show_counts = false) {
  Totals best;
  best.seconds = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const double u0 = user_seconds();
    const auto t0 = Clock::now();
    Totals t = pass(data, s);
    if (t.seconds == 0) {  // the whole pass is timed
      t.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      t.user = user_seconds() - u0;
    }
    if (t.seconds < best.seconds) best = t;
  }
  std::printf(
      "%-15s %8.3f s (user %.3f)  %6.1f M rows/s  %5.2f GB/s of input  %5.2f GB/s of fields\n",
      name, best.seconds, best.user, static_cast<double>(best.rows) / best.seconds / 1e6,
      static_cast<double>(data.size()) / best.seconds / 1e9,
      static_cast<double>(best.field_bytes) / best.seconds / 1e9);
  if (show_counts) {
    std::printf("  %llu rows, %llu fields, %.1f MB of field text\n",
                static_cast<unsigned long long>(best.rows),
                static_cast<unsigned long long>(best.fields),
                static_cast<double>(best.field_bytes) / 1e6);
  }
}

int main_(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--repeat N] [--batch-rows N] [--delimiter C] [--large]\n",
                 argv[0]);
    return 2;
  }
  Settings s;
  int repeat = 3;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (a == "--batch-rows" && i + 1 < argc) {
      s.batch_rows = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (a == "--delimiter" && i + 1 < argc) {
      s.delimiter = static_cast<std::uint8_t>(argv[++i][0]);
    } else if (a == "--large") {
      s.options.type = arrow::StringType::kLargeString;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  const std::string_view data = map_file(argv[1]);
  {  // the column count is the first record's
    engine::RecordTokenizer tokenizer(data, s.delimiter, '"', true);
    engine::FieldCounter counter(data);
    tokenizer.next(counter);
    s.columns = counter.field_count();
  }
  std::printf("file %s: %.1f MB, %zu columns, batches of %zu rows, %s\n", argv[1],
              static_cast<double>(data.size()) / 1e6, s.columns, s.batch_rows,
              s.options.type == arrow::StringType::kString ? "string" : "large_string");
  run("tokenize", data, s, repeat, tokenize_only, true);
  run("tokenize+build", data, s, repeat, tokenize_and_build);
  run("build only", data, s, repeat, build_only);
  run("tokenize+split", data, s, repeat, tokenize_and_build_plain);
  return 0;
}

}  // namespace
}  // namespace quorle::bench

int main(int argc, char** argv) {
  return quorle::bench::main_(argc, argv);
}
