// A growable byte array for storage that may reach gigabytes: held by malloc and grown by
// realloc, which moves a large block by remapping its pages instead of copying them. So growing
// never holds the old and the new copy at once, and capacity not yet written costs no memory
// (std::vector zero-fills what it grows into; std::string copies on every doubling).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace quorle::engine {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer() { std::free(data_); }
  ByteBuffer(const ByteBuffer& other) { append(other.data_, other.size_); }
  ByteBuffer& operator=(const ByteBuffer& other) {
    if (this != &other) {
      size_ = 0;
      append(other.data_, other.size_);
    }
    return *this;
  }
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        high_(std::exchange(other.high_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(high_, other.high_);
    return *this;
  }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view(std::size_t at, std::size_t length) const {
    return {reinterpret_cast<const char*>(data_) + at, length};
  }

  /// Room for `more` bytes after the used ones; write through the pointer, then extend_to().
  std::uint8_t* room(std::size_t more) {
    if (capacity_ - size_ < more) grow(more);
    return data_ + size_;
  }
  /// Takes the bytes written through room() up to `size` as used.
  void extend_to(std::size_t size) { size_ = size; }
  /// Sets the used size, at most the capacity; bytes past it are forgotten.
  void resize(std::size_t size) {
    if (size_ > high_) high_ = size_;
    size_ = size;
  }
  /// Gives back the memory of forgotten bytes once they come to `least` bytes or more: bytes once
  /// written stay resident, even past the used size, until the block shrinks.
  void release_forgotten(std::size_t least) {
    if (size_ > high_) high_ = size_;
    if (high_ - size_ < least) return;
    shrink_to_fit();
    high_ = size_;
  }
  void append(const void* bytes, std::size_t length) {
    if (length == 0) return;
    std::memcpy(room(length), bytes, length);
    size_ += length;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void clear() { resize(0); }

  /// Gives back the capacity beyond the used bytes.
  void shrink_to_fit() {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
      return;
    }
    if (void* p = std::realloc(data_, size_)) {  // a failed shrink keeps the larger block
      data_ = static_cast<std::uint8_t*>(p);
      capacity_ = size_;
    }
  }

 private:
  void grow(std::size_t more) {
    const std::size_t want = std::max({capacity_ * 2, size_ + more, std::size_t{4096}});
    void* p = std::realloc(data_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = want;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t high_ = 0;  // the most bytes used since the block last shrank (when above size_)
};

}  // namespace quorle::engine
