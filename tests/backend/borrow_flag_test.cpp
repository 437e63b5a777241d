// The reader's borrow flag: shared takings overlap, an exclusive one excludes everything, and a
// refused taking changes nothing; __exit__ is never refused. Threads hammer one flag and check
// that the exclusive holder is always alone.
#include "backend/borrow_flag.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorle::pyext {
namespace {

template <class Flag>
void check_takings() {
  Flag flag;
  ASSERT_TRUE(flag.take_shared());
  ASSERT_TRUE(flag.take_shared());
  EXPECT_FALSE(flag.take_exclusive()) << "next() while others hold it: Already borrowed";
  flag.release_shared();
  EXPECT_FALSE(flag.take_exclusive());
  flag.release_shared();
  ASSERT_TRUE(flag.take_exclusive());
  EXPECT_FALSE(flag.take_shared()) << "a shared operation during next(): Already mutably borrowed";
  EXPECT_FALSE(flag.take_exclusive());
  flag.release_exclusive();
  EXPECT_TRUE(flag.take_shared());
  flag.release_shared();
  EXPECT_TRUE(flag.take_exclusive());
}

TEST(BorrowFlag, SharedTakingsOverlapAndExcludeTheExclusiveOne) {
  check_takings<BasicBorrowFlag<true>>();
  check_takings<BasicBorrowFlag<false>>();  // the same rules under an interpreter lock
}

TEST(BorrowFlag, ExclusiveHolderIsAloneUnderContention) {
  BorrowFlag flag;
  std::atomic<int> exclusive_inside{0}, shared_inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<long> exclusive_taken{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 3 == 0) {
          if (!flag.take_exclusive()) {
            ++refused;
            continue;
          }
          ++exclusive_taken;
          if (exclusive_inside.fetch_add(1) != 0 || shared_inside.load() != 0) overlap = true;
          exclusive_inside.fetch_sub(1);
          flag.release_exclusive();
        } else {
          if (!flag.take_shared()) {
            ++refused;
            continue;
          }
          shared_inside.fetch_add(1);
          if (exclusive_inside.load() != 0) overlap = true;
          shared_inside.fetch_sub(1);
          flag.release_shared();
        }
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_FALSE(overlap);
  EXPECT_GT(exclusive_taken.load(), 0);
  EXPECT_TRUE(flag.take_exclusive()) << "every taking was released";
}

template <class Flag>
void check_exit_while_next_holds() {
  Flag flag;
  ASSERT_TRUE(flag.take_exclusive());
  {
    Borrow<Flag> exit(flag, Operation::Exit);
    EXPECT_TRUE(exit) << "__exit__ during next() lets the block's exception through";
    Borrow<Flag> enter(flag, Operation::Enter);
    EXPECT_FALSE(enter);
    EXPECT_STREQ(enter.refusal(), "Already mutably borrowed");
  }
  EXPECT_FALSE(flag.take_shared()) << "neither touched the exclusive holding";
  flag.release_exclusive();
  {
    Borrow<Flag> len(flag, Operation::Len);
    Borrow<Flag> next(flag, Operation::Next);
    EXPECT_FALSE(next);
    EXPECT_STREQ(next.refusal(), "Already borrowed");
  }
  EXPECT_TRUE(flag.take_exclusive()) << "a refused borrow released nothing it did not hold";
}

TEST(BorrowFlag, ExitIsNeverRefusedAndEnterStillIs) {
  check_exit_while_next_holds<BasicBorrowFlag<true>>();
  check_exit_while_next_holds<BasicBorrowFlag<false>>();
}

TEST(BorrowFlag, ExitIsNeverRefusedUnderContention) {
  BorrowFlag flag;
  std::atomic<bool> stop{false};
  std::atomic<long> next_held{0}, exit_refused{0}, enter_refused{0};
  std::vector<std::thread> nexts;
  for (int t = 0; t < 3; ++t) {
    nexts.emplace_back([&] {
      while (!stop.load()) {
        Borrow<BorrowFlag> next(flag, Operation::Next);
        if (next) ++next_held;
      }
    });
  }
  std::vector<std::thread> blocks;
  for (int t = 0; t < 3; ++t) {
    blocks.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        {
          Borrow<BorrowFlag> enter(flag, Operation::Enter);
          if (!enter) ++enter_refused;
        }
        Borrow<BorrowFlag> exit(flag, Operation::Exit);
        if (!exit) ++exit_refused;
      }
    });
  }
  for (auto& th : blocks)
    th.join();
  stop = true;
  for (auto& th : nexts)
    th.join();
  EXPECT_EQ(exit_refused.load(), 0);
  EXPECT_GT(next_held.load(), 0);
  EXPECT_TRUE(flag.take_exclusive()) << "every taking was released";
}

}  // namespace
}  // namespace quorle::pyext
