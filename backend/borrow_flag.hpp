// The reader's borrow flag: next() takes the reader exclusively, the other operations take it
// shared, and nobody ever waits. Without a global interpreter lock, threads race for it, so the
// takings are atomic read-modify-writes. With the lock, calls never overlap across threads, but a
// finalizer run during next() could still call back into the same reader; plain loads and stores
// catch that, without the cost of a locked instruction per row. Plain C++, so that its logic can
// be tested with threads.
#pragma once

#include <atomic>

namespace quorle::pyext {

template <bool kThreadsRace>
class BasicBorrowFlag {
 public:
  /// False when any other operation holds the reader ("Already borrowed").
  bool take_exclusive() {
    int free = 0;
    if constexpr (!kThreadsRace) {
      if (state_.load(std::memory_order_relaxed) != free) return false;
      state_.store(EXCLUSIVE, std::memory_order_relaxed);
      return true;
    }
    return state_.compare_exchange_strong(free, EXCLUSIVE, std::memory_order_acquire);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

  /// False while an exclusive holder works ("Already mutably borrowed").
  bool take_shared() {
    int seen = state_.load(std::memory_order_relaxed);
    if constexpr (!kThreadsRace) {
      if (seen == EXCLUSIVE) return false;
      state_.store(seen + 1, std::memory_order_relaxed);
      return true;
    }
    do {
      if (seen == EXCLUSIVE) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() {
    if constexpr (!kThreadsRace) {
      state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
      return;
    }
    state_.fetch_sub(1, std::memory_order_release);
  }

 private:
  static constexpr int EXCLUSIVE = -1;
  std::atomic<int> state_{0};  // 0 free, n > 0 shared n times, -1 exclusive
};

using BorrowFlag = BasicBorrowFlag<true>;

/// The reader's operations, each taking the flag as it needs.
enum class Operation { Next, Iter, Len, Summary, Enter, Exit };

/// Holds a flag for one operation. next() moves the cursor, so it takes the flag exclusively; the
/// other operations read, so they share it; __exit__ reads nothing, and a refusal there would
/// replace the exception leaving the with block, so it takes nothing and is never refused.
template <class Flag>
class Borrow {
 public:
  Borrow(Flag& flag, Operation operation) : flag_(flag), operation_(operation) {
    switch (operation) {
      case Operation::Next: held_ = flag.take_exclusive(); break;
      case Operation::Exit: held_ = true; break;
      default: held_ = flag.take_shared(); break;
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_ || operation_ == Operation::Exit) return;
    if (operation_ == Operation::Next) {
      flag_.release_exclusive();
    } else {
      flag_.release_shared();
    }
  }

  explicit operator bool() const { return held_; }
  /// The message of the RuntimeError for a refused borrow.
  const char* refusal() const {
    return operation_ == Operation::Next ? "Already borrowed" : "Already mutably borrowed";
  }

 private:
  Flag& flag_;
  Operation operation_;
  bool held_;
};

}  // namespace quorle::pyext
