#include "util/stop_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;

TEST(StopEventTest, StartsUnsetTimesOutAndStaysSetUntilReset) {
  StopEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(0ms));
  EXPECT_FALSE(event.WaitFor(-5ms));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.WaitFor(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  event.Set();
  EXPECT_TRUE(event.WaitFor(0ms));
  EXPECT_TRUE(event.WaitFor(10s));  // must not consume the signal
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.WaitFor(1ms));
}

TEST(StopEventTest, WakesEveryWaiterOnAnotherThread) {
  StopEvent event;
  bool first = false;
  bool second = false;
  std::thread a([&] { first = event.WaitFor(60s); });
  std::thread b([&] { second = event.WaitFor(60s); });
  event.Set();
  a.join();
  b.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

}  // namespace
}  // namespace varnel
