// The bounded queue between a producing thread and a consuming one: the writer thread takes the
// pass's rows through it, and the Arrow stream's consumer the rows of its pass thread. The bound
// keeps memory to a few hand-overs; either side may stop it, which wakes both.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace quorle::rescue {

template <class T>
class HandOverQueue {
 public:
  /// Asked about every WAIT_STEP while a side waits; returning false gives up the wait (the
  /// queue itself goes on). Empty: wait without asking.
  using Waiting = std::function<bool()>;
  static constexpr std::chrono::milliseconds WAIT_STEP{50};

  explicit HandOverQueue(std::size_t bound) : bound_(bound) {}
  HandOverQueue(const HandOverQueue&) = delete;
  HandOverQueue& operator=(const HandOverQueue&) = delete;

  /// Waits for room, then queues `item`. False (item dropped) once the queue is stopped or when
  /// `waiting` said stop.
  bool push(T&& item, const Waiting& waiting = {}) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait(lock, waiting, [&] { return stopped_ || items_.size() < bound_; })) return false;
    if (stopped_) return false;
    items_.push_back(std::move(item));
    lock.unlock();
    changed_.notify_all();
    return true;
  }

  /// The next item, waiting for one; empty once the queue is stopped, once it is closed and
  /// drained, or when `waiting` said stop.
  std::optional<T> pop(const Waiting& waiting = {}) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait(lock, waiting, [&] { return stopped_ || closed_ || !items_.empty(); })) return {};
    if (stopped_ || items_.empty()) return {};
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    lock.unlock();
    changed_.notify_all();  // room for the producer
    return item;
  }

  /// The producer's end: no more items; the consumer drains what is queued. What the producer
  /// wrote before is seen by the consumer once pop() has come back empty.
  void close() { set([this] { closed_ = true; }); }

  /// Either side gives up: both are woken, pushes and pops fail from now on.
  void stop() { set([this] { stopped_ = true; }); }

  /// Cheap, without the lock: for a loop that looks now and then whether to go on.
  bool stopped() const { return stopped_.load(); }
  const std::atomic<bool>& stop_flag() const { return stopped_; }

  /// Waits until the queue is stopped (the consumer's way to say it is done); false when
  /// `waiting` said stop first.
  bool wait_stopped(const Waiting& waiting) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wait(lock, waiting, [&] { return stopped_.load(); });
  }

 private:
  template <class Change>
  void set(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  template <class Ready>
  bool wait(std::unique_lock<std::mutex>& lock, const Waiting& waiting, Ready ready) {
    if (!waiting) {
      changed_.wait(lock, ready);
      return true;
    }
    while (!changed_.wait_for(lock, WAIT_STEP, ready)) {
      lock.unlock();  // the callback may take long (signal handlers): the other side goes on
      const bool go_on = waiting();
      lock.lock();
      if (!go_on) return false;
    }
    return true;
  }

  const std::size_t bound_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;
  bool closed_ = false;
  std::atomic<bool> stopped_{false};
};

}  // namespace quorle::rescue
