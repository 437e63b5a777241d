// gen_csv: a fast, deterministic generator of clean and damaged CSV files for benchmarks and
// tests. The same flags and seed give byte-identical output on every machine, and an optional
// truth file records what a perfect reader should return for each record.
//
//   gen_csv [flags] OUTPUT_PATH        (flags in bench/GENERATOR.md, or gen_csv --help)

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace quorle::bench {
namespace {

// ---------------------------------------------------------------------------------------------
// Randomness. Fixed algorithms (splitmix64 seeding xoshiro256**) and integer-only draws, so the
// output never depends on the standard library's distributions or on floating point.

class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& s : state_)
      s = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // A value in [0, n) by multiply-shift; the bias (below 2^-32) is irrelevant here.
  std::uint32_t below(std::uint32_t n) {
    return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
  }

  bool coin() { return (next() >> 63) != 0; }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  static std::uint64_t splitmix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  std::uint64_t state_[4];
};

// `bits` random bits taken from r at `shift`, mapped to [0, n) by multiply-shift. Slicing one
// draw for several choices saves most of the generator calls in the hot loop.
constexpr std::uint32_t slice(std::uint64_t r, unsigned shift, unsigned bits, std::uint32_t n) {
  return static_cast<std::uint32_t>((((r >> shift) & ((1ull << bits) - 1)) * n) >> bits);
}

// A probability held as a 64-bit threshold: a draw is one integer compare.
std::uint64_t to_threshold(double p) {
  if (p <= 0.0) return 0;
  if (p >= 1.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(std::ldexp(p, 64));  // exact scaling by a power of two
}

// A share of zero draws nothing at all, so unused kinds of damage cost nothing.
class Share {
 public:
  Share() = default;
  explicit Share(double p) : threshold_(to_threshold(p)) {}

  bool hit(Rng& rng) const { return threshold_ != 0 && rng.next() < threshold_; }

 private:
  std::uint64_t threshold_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Options.

struct Options {
  std::uint64_t size = 100ull << 20;
  std::uint32_t columns = 10;
  std::uint64_t seed = 1;
  char delimiter = ',';
  bool header = false;
  bool bom = false;
  bool unterminated = false;
  double quoted = 0, utf8 = 0, ragged = 0, stray = 0, invalid = 0;
  double crlf = 0, cr = 0, blank = 0;
  std::string output;
  std::string truth;
};

// "clean" is the defaults; "dirty" adds every kind of damage at rates seen in real exports.
void apply_preset(Options& o, std::string_view name) {
  if (name == "clean") return;
  o.quoted = 0.08;
  o.ragged = 0.03;
  o.stray = 0.005;
  o.invalid = 0.0001;
  o.utf8 = 0.01;
  o.bom = true;
  o.crlf = 0.10;
  o.cr = 0.001;
  o.blank = 0.005;
  o.unterminated = true;
}

// ---------------------------------------------------------------------------------------------
// Output.

// Growable byte buffer written through a plain pointer: callers ask for room, write, and commit
// the new end, so the hot loop keeps its cursor in a register.
class Buffer {
 public:
  explicit Buffer(std::size_t capacity) : data_(new char[capacity]), capacity_(capacity) {}

  char* tail() const { return data_.get() + size_; }
  char* limit() const { return data_.get() + capacity_; }
  void commit_to(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }

  // Commits up to p and makes sure n more bytes fit; returns where writing goes on.
  char* make_room(char* p, std::size_t n) {
    commit_to(p);
    if (capacity_ - size_ < n) grow(n);
    return tail();
  }

  void put(std::string_view s) {
    char* p = make_room(tail(), s.size());
    std::memcpy(p, s.data(), s.size());
    commit_to(p + s.size());
  }
  void put(char c) { put(std::string_view(&c, 1)); }

  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  void truncate(std::size_t n) { size_ = n; }

 private:
  void grow(std::size_t n) {
    std::size_t capacity = capacity_ * 2;
    while (capacity - size_ < n)
      capacity *= 2;
    std::unique_ptr<char[]> data(new char[capacity]);
    std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// Writes full buffers on a thread of its own, so the system's copy of one chunk overlaps the
// generation of the next. Chunks go out in the order they are handed over.
class ChunkWriter {
 public:
  ChunkWriter(std::FILE* file, std::size_t capacity)
      : file_(file), in_flight_(file ? capacity : 1) {
    if (file_) thread_ = std::thread([this] { loop(); });
  }
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;
  ~ChunkWriter() { finish(); }

  bool active() const { return file_ != nullptr; }

  // Takes the bytes of `buffer`, once the previous chunk is out, and leaves it empty.
  void submit(Buffer& buffer) {
    if (!file_) return;
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !pending_; });
    std::swap(buffer, in_flight_);
    buffer.truncate(0);
    pending_ = true;
    work_.notify_one();
  }

  // Waits for the last chunk and flushes; false if any write failed.
  bool finish() {
    if (!thread_.joinable()) return ok_;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      work_.notify_one();
    }
    thread_.join();
    if (std::fflush(file_) != 0) fail();
    return ok_;
  }

  int error() const { return error_; }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return pending_ || stopping_; });
      if (!pending_) return;
      lock.unlock();
      const std::size_t n = in_flight_.size();
      if (ok_ && n > 0 && std::fwrite(in_flight_.data(), 1, n, file_) != n) fail();
      lock.lock();
      pending_ = false;
      idle_.notify_one();
    }
  }

  void fail() {
    if (ok_) error_ = errno;
    ok_ = false;
  }

  std::FILE* file_;
  Buffer in_flight_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable work_, idle_;
  bool pending_ = false;
  bool stopping_ = false;
  bool ok_ = true;
  int error_ = 0;
};

// ---------------------------------------------------------------------------------------------
// UTF-8.

// Appends the bytes with each maximal ill-formed UTF-8 subpart replaced by U+FFFD, the usual
// lossy decoding (Python's errors="replace" gives the same text).
void append_lossy_utf8(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int need = -1;  // continuation bytes still expected; -1 for a byte that cannot lead
    unsigned char lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    std::size_t good = 1;  // bytes of the sequence seen to be well-formed so far
    while (need > 0 && i + good < n) {
      const unsigned char c = p[i + good];
      if (good == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
      ++good;
      --need;
    }
    if (need == 0) {
      out.append(text.substr(i, good));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += good;
  }
}

// ---------------------------------------------------------------------------------------------
// Field contents. Each writer puts one value at p and returns its end; none writes more than
// MAX_VALUE bytes, padding included.

constexpr std::size_t MAX_VALUE = 256;

// Words of 3 to 7 letters; 64 of them so an index is six random bits.
constexpr std::string_view WORDS[64] = {
    "apple",   "river",  "stone",   "market",  "silver", "garden", "window", "orange",
    "north",   "south",  "delta",   "harbor",  "copper", "meadow", "planet", "signal",
    "forest",  "yellow", "bridge",  "castle",  "engine", "valley", "winter", "summer",
    "thunder", "candle", "pocket",  "rocket",  "shadow", "timber", "velvet", "wander",
    "blue",    "red",    "green",   "fast",    "slow",   "data",   "order",  "item",
    "price",   "total",  "city",    "lake",    "road",   "paper",  "glass",  "metal",
    "cat",     "dog",    "sun",     "moon",    "tree",   "bird",   "fish",   "wind",
    "open",    "closed", "pending", "shipped", "active", "sample", "report", "status",
};

// Valid non-ASCII text: accented Latin, Greek, Cyrillic, CJK, Hangul and emoji.
constexpr std::string_view PHRASES[16] = {
    "café",   "naïve", "Zürich", "São Paulo",      "crème brûlée", "Łódź", "Ελληνικά", "καλημέρα",
    "Привет", "東京",  "北京市", "日本語テキスト", "한국어",       "😀",    "party 🎉",  "Ünïcödé",
};

// Ill-formed sequences: a lone 0xFF and 0xFE, a lone continuation byte, truncated two-, three-
// and four-byte sequences, an overlong NUL and an encoded surrogate.
constexpr std::string_view BAD_SEQUENCES[8] = {
    "\xFF", "\xFE", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC0\x80", "\xED\xA0\x80",
};

constexpr std::uint32_t POW10[] = {1, 10, 100, 1000, 10000, 100000};

enum class Kind : std::uint8_t { ID, INTEGER, DECIMAL, DATE, WORD, SENTENCE };

// A typical export: an id, then names, dates, amounts, free text and counts, repeating from the
// second column on. Fields average about 9.5 bytes, records about 100 at ten columns.
constexpr Kind COLUMN_KINDS[9] = {
    Kind::WORD, Kind::DATE,    Kind::DECIMAL, Kind::SENTENCE, Kind::INTEGER,
    Kind::WORD, Kind::DECIMAL, Kind::WORD,    Kind::INTEGER,
};

Kind column_kind(std::uint32_t column) {
  return column == 0 ? Kind::ID : COLUMN_KINDS[(column - 1) % 9];
}

struct PaddedWord {
  char text[8];
  std::uint32_t len;
};

// WORDS padded to eight bytes, so copying one is a single fixed-size move.
constexpr auto PADDED_WORDS = [] {
  std::array<PaddedWord, 64> table{};
  for (std::size_t i = 0; i < 64; ++i) {
    for (std::size_t k = 0; k < WORDS[i].size(); ++k)
      table[i].text[k] = WORDS[i][k];
    table[i].len = static_cast<std::uint32_t>(WORDS[i].size());
  }
  return table;
}();

constexpr auto DIGIT_PAIRS = [] {
  std::array<char, 200> table{};
  for (int i = 0; i < 100; ++i) {
    table[2 * i] = static_cast<char>('0' + i / 10);
    table[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

char* put_text(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// Needs eight bytes of room whatever the word's length.
char* put_word(char* p, std::uint64_t index) {
  std::memcpy(p, PADDED_WORDS[index & 63].text, 8);
  return p + PADDED_WORDS[index & 63].len;
}

char* put_two_digits(char* p, std::uint32_t v) {
  std::memcpy(p, &DIGIT_PAIRS[2 * v], 2);
  return p + 2;
}

// The eight decimal digits of v < 10^8, first digit in the lowest byte, all lanes at once:
// halves of four digits, then pairs, then single digits.
std::uint64_t eight_digits(std::uint32_t v) {
  std::uint64_t x = v / 10000 | static_cast<std::uint64_t>(v % 10000) << 32;
  std::uint64_t y = ((x * 10486) >> 20) & 0x0000007F0000007Full;  // / 100 in each half
  x = y | ((x - y * 100) << 16);
  y = ((x * 103) >> 10) & 0x000F000F000F000Full;  // / 10 in each pair
  x = y | ((x - y * 10) << 8);
  return x | 0x3030303030303030ull;
}

// Stores the word lowest byte first on any machine, so the output does not depend on it.
void store_low_first(char* p, std::uint64_t x) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &x, 8);
  } else {
    for (int i = 0; i < 8; ++i)
      p[i] = static_cast<char>(x >> (8 * i));
  }
}

// The last `digits` digits of v < 10^8 without a branch on the length, which is random and
// would otherwise be mispredicted half the time. Needs eight bytes of room.
char* put_digits(char* p, std::uint32_t v, std::uint32_t digits) {
  store_low_first(p, eight_digits(v) >> (8 * (8 - digits)));
  return p + digits;
}

// A minus sign one time in 16 (bits 55..58), then 1 to max_digits digits, each length equally
// likely (bits 32..47), and the number itself (bits 0..31).
char* put_signed(char* p, std::uint64_t r, std::uint32_t max_digits) {
  if (((r >> 55) & 15) == 0) *p++ = '-';
  const std::uint32_t digits = 1 + slice(r, 32, 16, max_digits);
  const std::uint32_t lo = POW10[digits - 1];
  const std::uint32_t v = lo == 1 ? slice(r, 0, 32, 10) : lo + slice(r, 0, 32, 9 * lo);
  return put_digits(p, v, digits);
}

char* put_integer(char* p, std::uint64_t r) {
  return put_signed(p, r, 6);
}

// Two decimal places, the cents from bits 48..54.
char* put_decimal(char* p, std::uint64_t r) {
  p = put_signed(p, r, 5);
  *p++ = '.';
  return put_two_digits(p, slice(r, 48, 7, 100));
}

char* put_date(char* p, std::uint64_t r) {
  p = put_digits(p, 1990 + slice(r, 0, 16, 40), 4);
  *p++ = '-';
  p = put_two_digits(p, 1 + slice(r, 16, 16, 12));
  *p++ = '-';
  return put_two_digits(p, 1 + slice(r, 32, 16, 28));
}

// Four to eight words (count from bits 56..63, words from six bits each), capitalised, with a
// full stop.
char* put_sentence(char* p, std::uint64_t r) {
  char* const start = p;
  const std::uint32_t words = 4 + slice(r, 56, 8, 5);
  for (std::uint32_t i = 0; i < words; ++i) {
    if (i > 0) *p++ = ' ';
    p = put_word(p, r >> (6 * i));
  }
  *start = static_cast<char>(*start - 'a' + 'A');
  *p++ = '.';
  return p;
}

// ---------------------------------------------------------------------------------------------
// The generator.

enum Damage : unsigned {
  SHORT = 1,
  LONG = 2,
  STRAY_QUOTE = 4,
  INVALID_UTF8 = 8,
  UNTERMINATED = 16,
};

constexpr std::string_view DAMAGE_NAMES[] = {"short", "long", "stray_quote", "invalid_utf8",
                                             "unterminated"};

constexpr std::uint32_t NONE = UINT32_MAX;

struct RecordPlan {
  std::uint32_t fields = 0;
  unsigned damage = 0;
  std::uint32_t stray_at = NONE;
  std::uint32_t invalid_at = NONE;
};

// Where the output stood before a record, so that record can be taken back.
struct Mark {
  std::size_t out = 0;
  std::size_t truth = 0;
  std::uint64_t record = 0;
  std::uint64_t line = 0;
  bool after_cr = false;
};

class Generator {
 public:
  Generator(const Options& options, ChunkWriter& out, ChunkWriter& truth);
  void run();

  static constexpr std::size_t CHUNK = 8 << 20;  // bytes handed to the writer at a time
  static constexpr std::size_t CAPACITY = CHUNK + (1 << 20);

 private:
  // Room for one field: a delimiter, then a value quoted with every byte doubled, plus a
  // record's line break after it.
  static constexpr std::size_t FIELD_ROOM = 1 + 2 * MAX_VALUE + 2 + 2;

  std::uint64_t written() const { return handed_over_ + out_.size(); }
  Mark mark() const { return {out_.size(), truth_.size(), record_, line_, after_cr_}; }
  void rollback(const Mark& m);
  bool end_unterminated(const Mark& before);
  void hand_over();

  // Makes sure one more field fits after p; returns where writing goes on.
  char* field_room(char* p) {
    const bool fits = out_.limit() - p >= static_cast<std::ptrdiff_t>(FIELD_ROOM);
    return fits ? p : out_.make_room(p, FIELD_ROOM);
  }
  char* put_break(char* p, bool blank_line);
  void write_blank_line();
  void write_header();
  RecordPlan plan_record(bool last);
  void write_record(bool last);
  char* write_field(char* p, std::uint32_t column, const RecordPlan& plan);
  char* fill_value(char* p, Kind kind);
  char* decorate_quoted(char* end, std::uint32_t variant);
  char* insert_bad_sequence(char* begin, char* end);
  char* write_stray_field(char* p);
  char* quote(char* begin, char* end, bool close);
  bool holds_delimiter(const char* begin, const char* end) const;

  void begin_truth(const RecordPlan& plan);
  void add_truth_field(const char* begin, const char* end);
  void end_truth();

  const Options& opt_;
  Rng rng_;
  Share quoted_, utf8_, ragged_, stray_, invalid_, blank_, crlf_;
  std::uint64_t crlf_threshold_, any_break_threshold_;
  char stray_joiner_;
  bool may_hold_delimiter_[6] = {};

  ChunkWriter& out_writer_;
  ChunkWriter& truth_writer_;
  const bool truth_on_;
  Buffer out_;
  Buffer truth_;
  std::string truth_fields_;  // the current record's values, reused across records
  bool truth_first_ = true;   // no value added yet for the current record
  bool truth_lossy_ = false;  // the current record holds ill-formed UTF-8
  char scratch_[MAX_VALUE];   // a value being rewritten with quotes

  std::uint64_t handed_over_ = 0;
  std::uint64_t record_ = 0;  // index of the next record
  std::uint64_t line_ = 1;    // physical line the next byte lands on
  bool after_cr_ = false;     // the last byte written ended a line with a lone CR
};

Generator::Generator(const Options& options, ChunkWriter& out, ChunkWriter& truth)
    : opt_(options),
      rng_(options.seed),
      quoted_(options.quoted),
      utf8_(options.utf8),
      ragged_(options.ragged),
      stray_(options.stray),
      invalid_(options.invalid),
      blank_(options.blank),
      crlf_(options.crlf),
      crlf_threshold_(to_threshold(options.crlf)),
      any_break_threshold_(to_threshold(options.crlf + options.cr)),
      out_writer_(out),
      truth_writer_(truth),
      truth_on_(truth.active()),
      out_(CAPACITY),
      truth_(truth_on_ ? CAPACITY : 1) {
  const char d = opt_.delimiter;
  // The character beside a stray quote must not be the delimiter, or the field would end there.
  stray_joiner_ = d == ' ' ? '_' : ' ';
  // Value kinds that can contain the delimiter, and so need a scan; letters and digits never
  // are delimiters.
  may_hold_delimiter_[static_cast<int>(Kind::INTEGER)] = d == '-';
  may_hold_delimiter_[static_cast<int>(Kind::DECIMAL)] = d == '-' || d == '.';
  may_hold_delimiter_[static_cast<int>(Kind::DATE)] = d == '-';
  may_hold_delimiter_[static_cast<int>(Kind::SENTENCE)] = d == ' ' || d == '.';
}

void Generator::run() {
  if (opt_.bom) out_.put("\xEF\xBB\xBF");
  if (truth_on_) truth_.put("record,first_line,damage,fields\n");
  for (;;) {
    // Only between records, so the record just written can still be taken back.
    if (out_.size() >= CHUNK || truth_.size() >= CHUNK) hand_over();
    if (record_ > 0 && blank_.hit(rng_)) write_blank_line();
    const Mark before = mark();
    if (record_ == 0 && opt_.header) {
      write_header();
    } else {
      write_record(false);
    }
    if (written() < opt_.size) continue;
    if (!opt_.unterminated || end_unterminated(before)) break;
  }
  hand_over();
}

// Writes the record that reached the size again, as the unterminated last one. When the rewrite
// falls short of the size it becomes an ordinary record once more, and returns false so that
// more records follow. A header that reached the size stays and gets one record after it.
bool Generator::end_unterminated(const Mark& before) {
  if (opt_.header && before.record == 0) {
    write_record(true);
    return true;
  }
  rollback(before);
  write_record(true);
  if (written() >= opt_.size) return true;
  rollback(before);
  write_record(false);
  return false;
}

void Generator::rollback(const Mark& m) {
  out_.truncate(m.out);
  truth_.truncate(m.truth);
  record_ = m.record;
  line_ = m.line;
  after_cr_ = m.after_cr;
}

void Generator::hand_over() {
  handed_over_ += out_.size();
  out_writer_.submit(out_);
  if (truth_on_) truth_writer_.submit(truth_);
}

// LF, CR LF or a lone CR, in the shares asked for.
char* Generator::put_break(char* p, bool blank_line) {
  char kind = '\n';  // 'W' stands for CR LF
  if (any_break_threshold_ != 0) {
    const std::uint64_t draw = rng_.next();
    if (draw < crlf_threshold_) {
      kind = 'W';
    } else if (draw < any_break_threshold_) {
      kind = '\r';
    }
  }
  // A blank LF right after a lone CR would read as one CR LF break, not two lines.
  if (blank_line && after_cr_ && kind == '\n') kind = '\r';
  if (kind == 'W') {
    *p++ = '\r';
    *p++ = '\n';
  } else {
    *p++ = kind;
  }
  after_cr_ = kind == '\r';
  ++line_;
  return p;
}

void Generator::write_blank_line() {
  out_.commit_to(put_break(out_.make_room(out_.tail(), 2), true));
}

void Generator::write_header() {
  RecordPlan plan;
  plan.fields = opt_.columns;
  begin_truth(plan);
  char* p = out_.tail();
  for (std::uint32_t j = 0; j < opt_.columns; ++j) {
    p = field_room(p);
    if (j > 0) *p++ = opt_.delimiter;
    char* const begin = p;
    p = put_text(p, "col");
    p = std::to_chars(p, p + 16, j + 1).ptr;
    add_truth_field(begin, p);
  }
  end_truth();
  out_.commit_to(put_break(p, false));
  ++record_;
}

RecordPlan Generator::plan_record(bool last) {
  const std::uint32_t columns = opt_.columns;
  RecordPlan plan;
  plan.fields = columns;
  if (ragged_.hit(rng_)) {
    const std::uint32_t off = 1 + rng_.below(3);
    if (columns == 1 || rng_.coin()) {
      plan.fields = columns + off;
      plan.damage |= LONG;
    } else {
      plan.fields = columns > off ? columns - off : 1;
      plan.damage |= SHORT;
    }
  }
  const std::uint32_t n = plan.fields;
  if (last) plan.damage |= UNTERMINATED;
  // The last field of an unterminated record is the open quote, so a stray quote goes earlier.
  const std::uint32_t stray_room = last ? n - 1 : n;
  if (stray_.hit(rng_) && stray_room > 0) {
    plan.stray_at = rng_.below(stray_room);
    plan.damage |= STRAY_QUOTE;
  }
  if (invalid_.hit(rng_) && (n > 1 || plan.stray_at == NONE)) {
    plan.invalid_at = rng_.below(n);
    if (plan.invalid_at == plan.stray_at) plan.invalid_at = (plan.invalid_at + 1) % n;
    plan.damage |= INVALID_UTF8;
  }
  return plan;
}

void Generator::write_record(bool last) {
  const RecordPlan plan = plan_record(last);
  begin_truth(plan);
  char* p = out_.tail();
  for (std::uint32_t j = 0; j < plan.fields; ++j) {
    p = field_room(p);
    if (j > 0) *p++ = opt_.delimiter;
    p = write_field(p, j, plan);
  }
  end_truth();
  out_.commit_to(last ? p : put_break(p, false));
  ++record_;
}

char* Generator::write_field(char* p, std::uint32_t column, const RecordPlan& plan) {
  if (column == plan.stray_at) return write_stray_field(p);
  const Kind kind = column_kind(column);
  char* end;
  bool scan;  // whether the value may hold the delimiter
  if (utf8_.hit(rng_)) {
    end = put_text(p, PHRASES[rng_.next() >> 60]);
    scan = true;
  } else {
    end = fill_value(p, kind);
    scan = may_hold_delimiter_[static_cast<int>(kind)];
  }
  bool quoted = quoted_.hit(rng_);
  if (quoted) end = decorate_quoted(end, rng_.below(4));
  if (column == plan.invalid_at) end = insert_bad_sequence(p, end);
  const bool open_end = (plan.damage & UNTERMINATED) != 0 && column + 1 == plan.fields;
  // A lone empty field is quoted too, since unquoted it would read as a blank line.
  quoted =
      quoted || open_end || (scan && holds_delimiter(p, end)) || (plan.fields == 1 && end == p);
  if (truth_on_) add_truth_field(p, end);
  return quoted ? quote(p, end, !open_end) : end;
}

char* Generator::fill_value(char* p, Kind kind) {
  if (kind == Kind::ID) return std::to_chars(p, p + 24, record_ + (opt_.header ? 0 : 1)).ptr;
  const std::uint64_t r = rng_.next();
  if (kind == Kind::DATE) return put_date(p, r);
  if (kind == Kind::SENTENCE) return put_sentence(p, r);
  // Missing values (1 in 32, from the top five bits) are common in the short columns.
  if ((r >> 59) == 0) return p;
  if (kind == Kind::INTEGER) return put_integer(p, r);
  if (kind == Kind::DECIMAL) return put_decimal(p, r);
  return put_word(p, r);
}

// Extends a field that will be quoted so the quoting matters: with the delimiter, with quotes
// (doubled when written) or with a line break; variant 0 adds nothing.
char* Generator::decorate_quoted(char* end, std::uint32_t variant) {
  switch (variant) {
    case 1:
      *end++ = opt_.delimiter;
      *end++ = ' ';
      return put_word(end, rng_.next());
    case 2:
      end = put_text(end, " \"");
      end = put_word(end, rng_.next());
      *end++ = '"';
      return end;
    case 3:
      end = put_text(end, crlf_.hit(rng_) ? "\r\n" : "\n");
      ++line_;
      return put_word(end, rng_.next());
    default: return end;
  }
}

// Puts a bad sequence between two characters, never inside one nor inside a CR LF, so only the
// inserted bytes are ill-formed and the line count holds.
char* Generator::insert_bad_sequence(char* begin, char* end) {
  const std::string_view bad = BAD_SEQUENCES[rng_.next() >> 61];
  char* at = begin + rng_.below(static_cast<std::uint32_t>(end - begin + 1));
  while (at < end && (static_cast<unsigned char>(*at) & 0xC0) == 0x80)
    ++at;
  if (at > begin && at < end && at[-1] == '\r') ++at;
  std::memmove(at + bad.size(), at, static_cast<std::size_t>(end - at));
  put_text(at, bad);
  return end + bad.size();
}

// A quote that no writer would produce: either unescaped inside a quoted field, as in
// "say "hi" now", or in the middle of an unquoted one, as in ab"c. A reader should keep it.
char* Generator::write_stray_field(char* p) {
  const std::uint64_t r = rng_.next();
  if (r >> 63) {
    char* const begin = p + 1;  // the value lies between the outer quotes
    p = put_word(begin, r);
    *p++ = stray_joiner_;
    *p++ = '"';
    p = put_word(p, r >> 6);
    *p++ = '"';
    *p++ = stray_joiner_;
    p = put_word(p, r >> 12);
    begin[-1] = '"';
    *p = '"';
    if (truth_on_) add_truth_field(begin, p);
    return p + 1;
  }
  char* const end = put_word(p, r);
  char* const at = p + 1 + slice(r, 32, 16, static_cast<std::uint32_t>(end - p - 1));
  std::memmove(at + 1, at, static_cast<std::size_t>(end - at));
  *at = '"';
  if (truth_on_) add_truth_field(p, end + 1);
  return end + 1;
}

// Rewrites the value in quotes, doubling the quotes inside; leaves it open if asked.
char* Generator::quote(char* begin, char* end, bool close) {
  const std::size_t n = static_cast<std::size_t>(end - begin);
  std::memcpy(scratch_, begin, n);
  char* w = begin;
  *w++ = '"';
  for (std::size_t i = 0; i < n; ++i) {
    if (scratch_[i] == '"') *w++ = '"';
    *w++ = scratch_[i];
  }
  if (close) *w++ = '"';
  return w;
}

bool Generator::holds_delimiter(const char* begin, const char* end) const {
  for (const char* p = begin; p < end; ++p) {
    if (*p == opt_.delimiter) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The truth file: record,first_line,damage,fields with the values joined by 0x1F.

void put_number(Buffer& b, std::uint64_t v) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
  b.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void Generator::begin_truth(const RecordPlan& plan) {
  if (!truth_on_) return;
  put_number(truth_, record_);
  truth_.put(',');
  put_number(truth_, line_);
  truth_.put(',');
  if (plan.damage == 0) truth_.put("none");
  bool first = true;
  for (unsigned bit = 0; bit < 5; ++bit) {
    if ((plan.damage & (1u << bit)) == 0) continue;
    if (!first) truth_.put('+');
    truth_.put(DAMAGE_NAMES[bit]);
    first = false;
  }
  truth_.put(',');
  truth_fields_.clear();
  truth_first_ = true;
  truth_lossy_ = (plan.damage & INVALID_UTF8) != 0;
}

void Generator::add_truth_field(const char* begin, const char* end) {
  if (!truth_on_) return;
  if (!truth_first_) truth_fields_ += '\x1F';
  truth_first_ = false;
  const std::string_view value(begin, static_cast<std::size_t>(end - begin));
  if (truth_lossy_) {
    append_lossy_utf8(truth_fields_, value);
  } else {
    truth_fields_.append(value);
  }
}

// The joined values as one CSV field, quoted only when they need it.
void Generator::end_truth() {
  if (!truth_on_) return;
  if (truth_fields_.find_first_of(",\"\r\n") == std::string::npos) {
    truth_.put(truth_fields_);
  } else {
    truth_.put('"');
    std::size_t from = 0;
    for (std::size_t q; (q = truth_fields_.find('"', from)) != std::string::npos; from = q + 1) {
      truth_.put(std::string_view(truth_fields_).substr(from, q + 1 - from));
      truth_.put('"');
    }
    truth_.put(std::string_view(truth_fields_).substr(from));
    truth_.put('"');
  }
  truth_.put('\n');
}

// ---------------------------------------------------------------------------------------------
// Command line.

constexpr const char* USAGE =
    "usage: gen_csv [flags] OUTPUT_PATH   (OUTPUT_PATH '-' writes to stdout)\n"
    "  --preset clean|dirty   start from a preset; other flags override it\n"
    "  --size BYTES           stop after the record reaching BYTES (suffix K, M, G; 100M)\n"
    "  --columns N            fields per record (10)\n"
    "  --seed N               random seed (1)\n"
    "  --delimiter C          one ASCII byte, or 'tab' (,)\n"
    "  --header               first record is col1..colN\n"
    "  --quoted SHARE         fields written quoted, with delimiters, quotes or line breaks\n"
    "  --utf8 SHARE           fields holding non-ASCII UTF-8 text\n"
    "  --ragged SHARE         records with 1 to 3 fields too few or too many\n"
    "  --stray SHARE          records with a stray quote\n"
    "  --invalid SHARE        records with ill-formed UTF-8\n"
    "  --crlf SHARE           line breaks written as CR LF\n"
    "  --cr SHARE             line breaks written as a lone CR\n"
    "  --blank SHARE          blank lines between records\n"
    "  --bom                  start with a UTF-8 byte order mark\n"
    "  --unterminated         end inside an unterminated quoted field\n"
    "  --truth PATH           also write what a perfect reader returns for each record\n"
    "SHARE is a fraction from 0 to 1.\n";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "gen_csv: %s\n%s", message.c_str(), USAGE);
  std::exit(2);
}

std::uint64_t parse_unsigned(std::string_view flag, std::string_view text) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    fail(std::string(flag) + ": not a number: " + std::string(text));
  }
  return v;
}

std::uint64_t parse_size(std::string_view text) {
  unsigned shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k': shift = 10; break;
      case 'M':
      case 'm': shift = 20; break;
      case 'G':
      case 'g': shift = 30; break;
      default: break;
    }
  }
  if (shift != 0) text.remove_suffix(1);
  const std::uint64_t v = parse_unsigned("--size", text);
  if (v > (UINT64_MAX >> shift)) fail("--size: too large");
  return v << shift;
}

double parse_share(std::string_view flag, std::string_view text) {
  double v = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !(v >= 0.0 && v <= 1.0)) {
    fail(std::string(flag) + ": expected a fraction from 0 to 1, got " + std::string(text));
  }
  return v;
}

char parse_delimiter(std::string_view text) {
  if (text == "tab") return '\t';
  if (text.size() != 1) fail("--delimiter: expected one byte or 'tab'");
  const unsigned char c = static_cast<unsigned char>(text[0]);
  // Letters and digits would collide with the generated values; quotes and line breaks are
  // the syntax itself.
  const bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  if (c >= 0x80 || alnum || c == '"' || c == '\r' || c == '\n' || c == 0) {
    fail("--delimiter: must be ASCII punctuation, space or tab");
  }
  return static_cast<char>(c);
}

Options parse_options(int argc, char** argv) {
  Options o;
  // The preset goes first wherever it appears, so explicit flags always override it.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string_view name;
    if (arg.starts_with("--preset=")) {
      name = arg.substr(9);
    } else if (arg == "--preset" && i + 1 < argc) {
      name = argv[i + 1];
    } else {
      continue;
    }
    if (name != "clean" && name != "dirty") fail("--preset: expected clean or dirty");
    apply_preset(o, name);
  }
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view inline_value;
    bool has_inline = false;
    if (arg.starts_with("--")) {
      if (const auto eq = arg.find('='); eq != std::string_view::npos) {
        inline_value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_inline = true;
      }
    }
    auto value = [&]() -> std::string_view {
      if (has_inline) return inline_value;
      if (i + 1 >= argc) fail(std::string(arg) + ": missing value");
      return argv[++i];
    };
    if (arg == "--header") {
      o.header = true;
    } else if (arg == "--bom") {
      o.bom = true;
    } else if (arg == "--unterminated") {
      o.unterminated = true;
    } else if (arg == "--preset") {
      value();  // applied above
    } else if (arg == "--size") {
      o.size = parse_size(value());
    } else if (arg == "--columns") {
      const std::uint64_t n = parse_unsigned(arg, value());
      if (n < 1 || n > 1'000'000) fail("--columns: expected 1 to 1000000");
      o.columns = static_cast<std::uint32_t>(n);
    } else if (arg == "--seed") {
      o.seed = parse_unsigned(arg, value());
    } else if (arg == "--delimiter") {
      o.delimiter = parse_delimiter(value());
    } else if (arg == "--quoted") {
      o.quoted = parse_share(arg, value());
    } else if (arg == "--utf8") {
      o.utf8 = parse_share(arg, value());
    } else if (arg == "--ragged") {
      o.ragged = parse_share(arg, value());
    } else if (arg == "--stray") {
      o.stray = parse_share(arg, value());
    } else if (arg == "--invalid") {
      o.invalid = parse_share(arg, value());
    } else if (arg == "--crlf") {
      o.crlf = parse_share(arg, value());
    } else if (arg == "--cr") {
      o.cr = parse_share(arg, value());
    } else if (arg == "--blank") {
      o.blank = parse_share(arg, value());
    } else if (arg == "--truth") {
      o.truth = value();
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(USAGE, stdout);
      std::exit(0);
    } else if (arg.size() > 1 && arg[0] == '-') {
      fail("unknown flag " + std::string(arg));
    } else if (o.output.empty()) {
      o.output = arg;
    } else {
      fail("more than one output path");
    }
  }
  if (o.output.empty()) fail("missing OUTPUT_PATH");
  if (o.crlf + o.cr > 1.0) fail("--crlf and --cr add up to more than 1");
  return o;
}

std::FILE* open_output(const std::string& path) {
  if (path == "-") return stdout;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "gen_csv: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  // Writes come in chunks of megabytes; stdio buffering would only add a copy.
  std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

}  // namespace

bool close_output(std::FILE* file, ChunkWriter& writer, const std::string& path) {
  bool ok = writer.finish();
  int error = writer.error();
  if (file && file != stdout && std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    std::fprintf(stderr, "gen_csv: cannot write %s: %s\n", path.c_str(), std::strerror(error));
  }
  return ok;
}

int run(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  std::FILE* out = open_output(options.output);
  std::FILE* truth = options.truth.empty() ? nullptr : open_output(options.truth);
  ChunkWriter out_writer(out, Generator::CAPACITY);
  ChunkWriter truth_writer(truth, Generator::CAPACITY);
  Generator(options, out_writer, truth_writer).run();
  bool ok = close_output(out, out_writer, options.output);
  if (truth && !close_output(truth, truth_writer, options.truth)) ok = false;
  return ok ? 0 : 1;
}

}  // namespace quorle::bench

int main(int argc, char** argv) {
  return quorle::bench::run(argc, argv);
}
