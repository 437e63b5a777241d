// The hand-over queue between two threads: bounded, in order, and stopped from either side.
#include "rescue/handover_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorle::rescue {
namespace {

TEST(HandOverQueue, ProducerWaitsAtTheBound) {
  HandOverQueue<int> queue(2);
  ASSERT_TRUE(queue.push(1));
  ASSERT_TRUE(queue.push(2));
  // A third push waits, asking its callback, until it gives up; then until a pop makes room.
  int asked = 0;
  EXPECT_FALSE(queue.push(3, [&] { return ++asked < 3; }));
  EXPECT_EQ(asked, 3);
  std::atomic<bool> pushed{false};
  std::thread producer([&] { pushed = queue.push(4, [] { return true; }); });
  std::this_thread::sleep_for(2 * HandOverQueue<int>::WAIT_STEP);
  EXPECT_FALSE(pushed.load());
  EXPECT_EQ(queue.pop(), 1);
  producer.join();
  EXPECT_TRUE(pushed.load());
  EXPECT_EQ(queue.pop(), 2);
  EXPECT_EQ(queue.pop(), 4);  // the push that gave up left nothing behind
}

TEST(HandOverQueue, StopWakesBothSides) {
  HandOverQueue<int> full(1), empty(1);
  ASSERT_TRUE(full.push(0));
  bool pushed = true;
  std::optional<int> popped = 0;
  std::thread producer([&] { pushed = full.push(1); });  // waits without a callback
  std::thread consumer([&] { popped = empty.pop(); });
  std::this_thread::sleep_for(HandOverQueue<int>::WAIT_STEP);
  full.stop();
  empty.stop();
  producer.join();
  consumer.join();
  EXPECT_FALSE(pushed);
  EXPECT_FALSE(popped);
  EXPECT_FALSE(full.pop());  // what was queued is dropped with the stop
  EXPECT_TRUE(full.wait_stopped({}));
}

TEST(HandOverQueue, ConsumerDrainsInOrderAfterClose) {
  for (const std::size_t bound : {1u, 3u, 64u}) {
    SCOPED_TRACE(bound);
    HandOverQueue<std::vector<int>> queue(bound);
    std::thread producer([&] {
      for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(queue.push({i, -i}));
      queue.close();
    });
    int expected = 0;
    while (std::optional<std::vector<int>> item = queue.pop()) {
      ASSERT_EQ(*item, (std::vector<int>{expected, -expected}));
      ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, 2000);
  }
}

}  // namespace
}  // namespace quorle::rescue
