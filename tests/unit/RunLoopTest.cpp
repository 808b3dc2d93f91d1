#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RepeatingTimer, KeepsAbsoluteDeadlinesWhateverTheTicksCost) {
  platform::MainLoop loop;
  std::vector<Clock::time_point> ticks;
  const auto start = Clock::now();
  std::unique_ptr<platform::RepeatingTimer> timer;
  timer = std::make_unique<platform::RepeatingTimer>(loop, 0ns, 20ms, [&] {
    ticks.push_back(Clock::now());
    std::this_thread::sleep_for(6ms);  // a costly tick must not push the schedule back
    if (ticks.size() == 10) {
      timer->cancel();
      loop.stopRunning();
    }
  });
  loop.run();
  ASSERT_EQ(ticks.size(), 10u);
  // Tick n is due at start + n × 20 ms; a drifting timer would be 9 × 6 ms late.
  const double lastMs = std::chrono::duration<double, std::milli>(ticks.back() - start).count();
  EXPECT_GE(lastMs, 180.0);
  EXPECT_LT(lastMs, 180.0 + 45.0);  // a drifting timer: 180 + 54 or more
}

TEST(RepeatingTimer, SkipsTicksThatWereMissedInsteadOfBursting) {
  platform::MainLoop loop;
  std::vector<double> ticksMs;
  const auto start = Clock::now();
  std::unique_ptr<platform::RepeatingTimer> timer;
  timer = std::make_unique<platform::RepeatingTimer>(loop, 0ns, 10ms, [&] {
    ticksMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (ticksMs.size() == 1) std::this_thread::sleep_for(55ms);  // the deadlines 10 to 50 ms pass meanwhile
    if (ticksMs.size() == 4) {
      timer->cancel();
      loop.stopRunning();
    }
  });
  loop.run();
  ASSERT_EQ(ticksMs.size(), 4u);
  // One late tick right after the long one, then back on the 10 ms grid: a
  // bursting timer would run the missed 20, 30, 40 and 50 ms ticks at once.
  EXPECT_GE(ticksMs[1], 55.0);
  EXPECT_GE(ticksMs[2], 60.0);
  EXPECT_LT(ticksMs[2], 60.0 + 25.0);
  EXPECT_GE(ticksMs[3], 70.0);
}

TEST(RepeatingTimer, NoTickAfterCancel) {
  platform::MainLoop loop;
  int count = 0;
  auto timer = std::make_unique<platform::RepeatingTimer>(loop, 0ns, 5ms, [&] { ++count; });
  loop.post([&] { timer->cancel(); });
  platform::RepeatingTimer stopper(loop, 50ms, 50ms, [&] { loop.stopRunning(); });
  loop.run();
  EXPECT_LE(count, 1);
}

TEST(Queues, RunInOrderOnTheirOwnThreadAndWaitWhenAsked) {
  platform::SerialQueue queue("test.queue");
  std::vector<int> order;
  std::thread::id queueThread;
  for (int i = 0; i < 100; ++i) queue.async([&, i] { order.push_back(i); });
  queue.sync([&] {
    queueThread = std::this_thread::get_id();
    // sync from the queue's own thread runs at once instead of deadlocking
    queue.sync([&] { order.push_back(100); });
  });
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_NE(queueThread, std::this_thread::get_id());

  platform::MainLoop loop;
  std::thread::id ranOn;
  std::thread other([&] {
    loop.postAndWait([&] { ranOn = std::this_thread::get_id(); });
    loop.stopRunning();
  });
  loop.run();
  other.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id()) << "postAndWait runs on the loop's thread";
}

}  // namespace
