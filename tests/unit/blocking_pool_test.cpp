#include "service/runtime/blocking_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <numeric>
#include <vector>

namespace service::runtime {
namespace {

using namespace std::chrono_literals;

TEST(BlockingPool, GrowsForBlockedWorkUpToItsLimit) {
  BlockingPool pool(4, 10s);
  std::latch release(1);
  std::atomic<int> running = 0;
  std::atomic<int> done = 0;
  for (int i = 0; i < 6; ++i) {
    pool.submit([&] {
      ++running;
      release.wait();
      ++done;
    });
  }
  while (running.load() < 4)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pool.thread_count(), 4u);
  release.count_down();
  while (done.load() < 6)
    std::this_thread::sleep_for(1ms);
}

TEST(BlockingPool, LetsIdleThreadsGo) {
  BlockingPool pool(8, 50ms);
  std::promise<void> ran;
  pool.submit([&] { ran.set_value(); });
  ran.get_future().wait();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (pool.thread_count() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(pool.thread_count(), 0u);
  // And it grows again afterwards.
  std::promise<void> again;
  pool.submit([&] { again.set_value(); });
  EXPECT_EQ(again.get_future().wait_for(5s), std::future_status::ready);
}

TEST(BlockingPool, FinishesQueuedWorkBeforeItIsDestroyed) {
  std::atomic<int> done = 0;
  {
    BlockingPool pool(2, 10s);
    for (int i = 0; i < 20; ++i) {
      pool.submit([&] {
        std::this_thread::sleep_for(1ms);
        ++done;
      });
    }
  }
  EXPECT_EQ(done.load(), 20);
}

TEST(BlockingPool, SerialWorkRunsInOrderOneAtATimeOnOneThread) {
  BlockingPool pool(4, 10s);
  std::latch release(1);
  std::atomic<int> inside = 0;
  std::atomic<bool> overlapped = false;
  std::vector<int> order;
  std::atomic<int> done = 0;
  for (int i = 0; i < 50; ++i) {
    pool.submit_serial([&, i] {
      if (++inside > 1)
        overlapped = true;
      if (i == 0)
        release.wait();
      order.push_back(i);
      --inside;
      ++done;
    });
  }
  // While the first piece blocks, the other 49 wait without a thread each,
  // and ordinary work still finds one.
  std::promise<void> ran;
  pool.submit([&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_LE(pool.thread_count(), 2u);
  release.count_down();
  while (done.load() < 50)
    std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(overlapped);
  std::vector<int> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace service::runtime
