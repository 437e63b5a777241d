// The reader's borrow flag, for interpreters that run without a global lock: next() takes the
// reader exclusively, the other operations take it shared, and nobody ever waits. Plain C++, so
// that its logic can be tested with threads.
#pragma once

#include <atomic>

namespace quorle::pyext {

class BorrowFlag {
 public:
  /// False when any other operation holds the reader ("Already borrowed").
  bool take_exclusive() {
    int free = 0;
    return state_.compare_exchange_strong(free, EXCLUSIVE, std::memory_order_acquire);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

  /// False while an exclusive holder works ("Already mutably borrowed").
  bool take_shared() {
    int seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen == EXCLUSIVE) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr int EXCLUSIVE = -1;
  std::atomic<int> state_{0};  // 0 free, n > 0 shared n times, -1 exclusive
};

}  // namespace quorle::pyext
