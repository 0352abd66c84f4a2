// The manual-reset event the loader threads wait on.
#include "base/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Set releases every waiter, from another thread too, and stays set until reset.
TEST(ManualResetEvent, StaysSetUntilResetAndReleasesEveryWaiter) {
  QVX::Base::ManualResetEvent event;
  EXPECT_FALSE(event.wait_for(10));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) waiters.emplace_back([&] { event.wait(), ++released; });
  std::thread setter([&] { event.set(); });
  EXPECT_TRUE(event.wait_for(60000));
  for (std::thread& waiter : waiters) waiter.join();
  setter.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_TRUE(event.wait_for(0) && event.is_set());
  event.reset();
  EXPECT_FALSE(event.is_set() || event.wait_for(5));
}
