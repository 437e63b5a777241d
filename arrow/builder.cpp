#include "arrow/builder.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/find_bytes.hpp"

namespace quorle::arrow {
namespace {

void* allocate(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* reallocate(void* old, std::size_t bytes) {
  void* p = std::realloc(old, bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// What one child array owns; freed by its own release, so that a consumer may move it out.
struct ChildOwner {
  const void* buffers[3];
};

void release_child(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* owner = static_cast<ChildOwner*>(array->private_data);
  for (const void* b : owner->buffers)
    std::free(const_cast<void*>(b));
  delete owner;
  array->release = nullptr;
}

struct BatchOwner {
  explicit BatchOwner(std::size_t n) : children(n), child_pointers(n) {}
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  const void* buffers[1] = {nullptr};
};

void release_batch(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* owner = static_cast<BatchOwner*>(array->private_data);
  // A child a consumer moved out is marked released in place and is its own business now.
  for (ArrowArray& child : owner->children)
    release_child(&child);
  delete owner;
  array->release = nullptr;
}

constexpr std::size_t kFirstRows = 1024;
constexpr std::uint64_t kFirstBytes = 4096;
// A wide table starts each column smaller, so that its first buffers together stay near these
// sizes instead of growing with the column count (a table of a million columns would otherwise
// start with gigabytes of offsets).
constexpr std::size_t kFirstSlots = std::size_t{1} << 20;
constexpr std::uint64_t kFirstData = std::uint64_t{4} << 20;
constexpr std::uint64_t kLeastBytes = 64;

std::size_t first_rows(std::size_t columns) {
  return std::clamp<std::size_t>(kFirstSlots / std::max<std::size_t>(columns, 1), 1, kFirstRows);
}

std::uint64_t first_bytes(std::size_t columns) {
  return std::clamp<std::uint64_t>(kFirstData / std::max<std::size_t>(columns, 1), kLeastBytes,
                                   kFirstBytes);
}

// The delimiters among 64 bytes of a row as a mask (for SSE2; NEON and the portable kernel cover
// fewer bytes per mask), bit i << shift for byte i. Never reads outside the row.
namespace delimiter_masks {
using K = engine::find_bytes::Native;
constexpr std::size_t kLoads = 64 / (K::width << K::shift);
constexpr std::size_t kBytes = K::width * kLoads;

inline std::uint64_t of(const char* p, std::uint8_t wanted) {
  const K::Vec w = K::splat(wanted);
  std::uint64_t m = 0;
  for (std::size_t j = 0; j < kLoads; ++j)
    m |= K::mask(K::equal(K::load(p + j * K::width), w)) << (j * (K::width << K::shift));
  return m;
}

// The mask of [base, base + kBytes) within a row of n bytes: the last, partial one is read as
// the row's last kBytes with the bytes before base dropped, or from a copy for a short row.
inline std::uint64_t at(const char* row, std::size_t n, std::size_t base, std::uint8_t wanted) {
  if (base + kBytes <= n) return of(row + base, wanted);
  if (n >= kBytes) {
    const int seen = static_cast<int>(base + kBytes - n) << K::shift;
    return of(row + n - kBytes, wanted) >> seen;
  }
  char copy[kBytes];
  std::memset(copy, static_cast<char>(~wanted), kBytes);
  std::memcpy(copy, row, n);
  return of(copy, wanted);
}

inline std::size_t offset(std::uint64_t m) {
  return static_cast<std::size_t>(std::countr_zero(m)) >> K::shift;
}
}  // namespace delimiter_masks

}  // namespace

FieldTooLarge::FieldTooLarge(std::uint64_t size)
    : std::length_error("a field of " + std::to_string(size) +
                        " bytes does not fit a string column; large_string holds it") {}

StringBatchBuilder::StringBatchBuilder(std::size_t columns, BuilderOptions options)
    : columns_(columns),
      options_(options),
      large_(options.type == StringType::kLargeString),
      limit_(large_ ? UINT64_MAX : std::min<std::uint64_t>(options.max_column_bytes, INT32_MAX)),
      cols_(columns),
      first_rows_(first_rows(columns)),
      first_bytes_(first_bytes(columns)),
      bytes_hint_(columns, first_bytes_) {}

StringBatchBuilder::~StringBatchBuilder() {
  for (Column& c : cols_) {
    std::free(c.data);
    std::free(c.offsets);
    std::free(c.valid);
  }
}

void StringBatchBuilder::too_many_fields() {
  throw std::length_error("a row has more fields than the batch has columns");
}

void StringBatchBuilder::batch_full() {
  throw std::logic_error("the batch is full: finish it before the next row");
}

std::uint64_t StringBatchBuilder::data_bytes() const {
  std::uint64_t total = 0;
  for (const Column& c : cols_)
    total += c.size;
  return total;
}

std::uint64_t StringBatchBuilder::offset_at(const Column& c, std::size_t row) const {
  if (large_) return static_cast<std::uint64_t>(static_cast<const std::int64_t*>(c.offsets)[row]);
  return static_cast<std::uint32_t>(static_cast<const std::int32_t*>(c.offsets)[row]);
}

void StringBatchBuilder::store_offset_zero(Column& c) {
  if (large_) {
    static_cast<std::int64_t*>(c.offsets)[0] = 0;
  } else {
    static_cast<std::int32_t*>(c.offsets)[0] = 0;
  }
}

void StringBatchBuilder::end_row() {
  if (col_ == 0) begin_row();
  while (col_ < columns_)
    padding();
  col_ = 0;
  if (carrying_) {
    full_ = true;
  } else {
    ++rows_;
  }
}

void StringBatchBuilder::row(std::span<const std::string_view> fields) {
  if (col_ != 0 || fields.size() > columns_) {  // the careful way, which also refuses misuse
    for (std::string_view f : fields)
      field(f.data(), f.size());
    return end_row();
  }
  begin_row();
  std::size_t k =
      large_ ? append_fields<std::int64_t>(fields) : append_fields<std::int32_t>(fields);
  col_ = k;
  for (; k < fields.size(); ++k)
    field(fields[k].data(), fields[k].size());  // past the limit
  end_row();
}

// Field k of a delimited row, [p, stop); false when it would take its column past the limit.
// A short field is copied as 16 bytes when the row holds them (the buffer keeps 16 bytes spare):
// one move whatever its size, where a copy by size would branch on every field.
inline bool StringBatchBuilder::append_delimited(std::size_t k, const char* p,
                                                 const char* stop, const char* end) {
  if (k >= columns_) too_many_fields();
  Column& c = cols_[k];
  const auto size = static_cast<std::size_t>(stop - p);
  const std::uint64_t to = c.size + size;
  if (to > limit_) return false;
  if (to + kCopySlack > c.capacity) grow_data(c, size + kCopySlack);
  char* dst = c.data + c.size;
  if (size <= kCopySlack && end - p >= static_cast<std::ptrdiff_t>(kCopySlack)) {
    std::memcpy(dst, p, kCopySlack);
  } else {
    detail::copy_bytes(dst, p, size);
  }
  c.size = to;
  store_offset(c);
  return true;
}

// The delimiters of a row are found a 64-bit mask at a time rather than by a search per field:
// fields are short, and a call per field costs more than its copy.
void StringBatchBuilder::delimited_row(const char* begin, const char* end, char delimiter) {
  if (col_ != 0 || full_ || replay_) return delimited_row_careful(begin, end, delimiter);
  begin_row();
  const auto n = static_cast<std::size_t>(end - begin);
  const auto wanted = static_cast<std::uint8_t>(delimiter);
  std::size_t k = 0;
  const char* p = begin;  // the current field's first byte
  for (std::size_t base = 0; base < n; base += delimiter_masks::kBytes) {
    for (std::uint64_t m = delimiter_masks::at(begin, n, base, wanted); m != 0; m &= m - 1) {
      const char* stop = begin + base + delimiter_masks::offset(m);
      if (!append_delimited(k, p, stop, end)) {
        return delimited_row_careful_from(k, p, end, delimiter);
      }
      ++k;
      p = stop + 1;
    }
  }
  if (!append_delimited(k, p, end, end)) return delimited_row_careful_from(k, p, end, delimiter);
  col_ = k + 1;
  end_row();
}

// From field k on, the row goes field by field, which sets it aside when it does not fit.
void StringBatchBuilder::delimited_row_careful_from(std::size_t k, const char* p, const char* end,
                                                    char delimiter) {
  col_ = k;
  delimited_row_careful(p, end, delimiter);
}

void StringBatchBuilder::delimited_row_careful(const char* p, const char* end, char delimiter) {
  for (;;) {
    const void* hit = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
    const char* stop = hit != nullptr ? static_cast<const char*>(hit) : end;
    field(p, static_cast<std::size_t>(stop - p));
    if (stop == end) return end_row();
    p = stop + 1;
  }
}

// Appends fields while every column stays within the limit; the number appended.
template <class Offset>
std::size_t StringBatchBuilder::append_fields(std::span<const std::string_view> fields) {
  const std::size_t n = fields.size();
  for (std::size_t k = 0; k < n; ++k) {
    Column& c = cols_[k];
    const std::size_t size = fields[k].size();
    const std::uint64_t end = c.size + size;
    if (end > limit_) return k;
    if (end > c.capacity) grow_data(c, size);
    detail::copy_bytes(c.data + c.size, fields[k].data(), size);
    c.size = end;
    static_cast<Offset*>(c.offsets)[rows_ + 1] = static_cast<Offset>(end);
  }
  return n;
}

void StringBatchBuilder::set_null(Column& c) {
  if (c.valid == nullptr) {
    const std::size_t bytes = row_capacity_ / 8 + 1;
    c.valid = static_cast<std::uint8_t*>(allocate(bytes));
    std::memset(c.valid, 0xFF, bytes);
  }
  c.valid[rows_ / 8] &= static_cast<std::uint8_t>(~(1u << (rows_ % 8)));
  ++c.nulls;
}

// Sets the current row aside: the fields it already put in the columns move out of them, and it
// goes on in carried_ until finish() replays it into the next batch.
void StringBatchBuilder::carry(const char* data, std::size_t size, bool null) {
  if (size > limit_) throw FieldTooLarge(size);
  if (!carrying_) {
    carrying_ = true;
    carried_text_.clear();
    carried_.clear();
    for (std::size_t k = 0; k < col_; ++k) {
      Column& c = cols_[k];
      const std::uint64_t begin = offset_at(c, rows_);
      const bool was_null = c.valid != nullptr && (c.valid[rows_ / 8] >> (rows_ % 8) & 1) == 0;
      carried_text_.append(c.data + begin, c.size - begin);
      carried_.push_back({c.size - begin, was_null});
      c.size = begin;
      if (was_null) {
        c.valid[rows_ / 8] |= static_cast<std::uint8_t>(1u << (rows_ % 8));
        --c.nulls;
      }
    }
  }
  carried_text_.append(data == nullptr ? "" : data, size);
  carried_.push_back({size, null});
  ++col_;
}

void StringBatchBuilder::grow_data(Column& c, std::size_t more) {
  const std::uint64_t first = c.capacity == 0 ? bytes_hint_[&c - cols_.data()] : 0;
  const std::uint64_t want = std::max({c.size + more, c.capacity * 2, first});
  c.data = static_cast<char*>(reallocate(c.data, static_cast<std::size_t>(want)));
  c.capacity = want;
}

void StringBatchBuilder::grow_rows() {
  const std::size_t rows = std::max({row_capacity_ * 2, rows_hint_, first_rows_});
  const std::size_t width = large_ ? sizeof(std::int64_t) : sizeof(std::int32_t);
  for (Column& c : cols_) {
    c.offsets = reallocate(c.offsets, (rows + 1) * width);
    if (c.valid != nullptr) {
      const std::size_t old_bytes = row_capacity_ / 8 + 1;
      const std::size_t bytes = rows / 8 + 1;
      c.valid = static_cast<std::uint8_t*>(reallocate(c.valid, bytes));
      std::memset(c.valid + old_bytes, 0xFF, bytes - old_bytes);
    }
  }
  if (row_capacity_ == 0) {
    for (Column& c : cols_)
      store_offset_zero(c);
  }
  row_capacity_ = rows;
}

void StringBatchBuilder::finish(ArrowArray* out) {
  if (col_ != 0) throw std::logic_error("finish() in the middle of a row");
  if (replay_) settle();
  // Everything that can fail comes first: the batch's bookkeeping, and buffers for empty columns.
  auto owner = std::make_unique<BatchOwner>(columns_);
  std::vector<std::unique_ptr<ChildOwner>> child_owners(columns_);
  for (auto& o : child_owners)
    o = std::make_unique<ChildOwner>();
  if (row_capacity_ == 0) grow_rows();
  for (Column& c : cols_) {
    if (c.data == nullptr) grow_data(c, 0);
  }

  const std::size_t rows = rows_;
  for (std::size_t k = 0; k < columns_; ++k) {
    Column& c = cols_[k];
    bytes_hint_[k] = std::max<std::uint64_t>(c.size + c.size / 8, first_bytes_);
    ChildOwner* child_owner = child_owners[k].release();
    child_owner->buffers[0] = c.nulls != 0 ? c.valid : nullptr;
    child_owner->buffers[1] = c.offsets;
    child_owner->buffers[2] = c.data;
    if (c.nulls == 0) std::free(c.valid);
    ArrowArray& child = owner->children[k];
    child = ArrowArray{};
    child.length = static_cast<std::int64_t>(rows);
    child.null_count = c.nulls;
    child.n_buffers = 3;
    child.buffers = child_owner->buffers;
    child.release = release_child;
    child.private_data = child_owner;
    owner->child_pointers[k] = &child;
    c = Column{};
  }
  rows_hint_ = std::max(rows_, first_rows_);
  rows_ = 0;
  row_capacity_ = 0;

  *out = ArrowArray{};
  out->length = static_cast<std::int64_t>(rows);
  out->n_buffers = 1;
  out->n_children = static_cast<std::int64_t>(columns_);
  out->buffers = owner->buffers;
  out->children = owner->child_pointers.data();
  out->release = release_batch;
  out->private_data = owner.release();

  if (full_) {  // the row set aside opens the next batch, once that one starts
    full_ = false;
    carrying_ = false;
    replay_ = true;
  }
}

void StringBatchBuilder::settle() {
  if (full_) batch_full();
  replay_ = false;
  std::size_t at = 0;
  for (const CarriedField& f : carried_) {
    if (f.null) {
      padding();
    } else {
      field(carried_text_.data() + at, static_cast<std::size_t>(f.size));
    }
    at += static_cast<std::size_t>(f.size);
  }
  end_row();
}

}  // namespace quorle::arrow
