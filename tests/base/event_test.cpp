// The manual-reset event the loader threads wait on.
#include "base/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace QVX::Base {
namespace {

TEST(ManualResetEvent, StaysSetUntilResetAndReleasesEveryWaiter) {
  ManualResetEvent event;
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_for(10));

  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      event.wait();
      ++released;
    });
  }
  event.set();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_TRUE(event.wait_for(0));  // still set: manual reset
  event.wait();

  event.reset();
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_for(5));
}

TEST(ManualResetEvent, ATimedWaitEndsWhenSetFromAnotherThread) {
  ManualResetEvent event;
  std::thread setter([&] { event.set(); });
  EXPECT_TRUE(event.wait_for(60000));
  setter.join();
}

}  // namespace
}  // namespace QVX::Base
