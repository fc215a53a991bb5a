#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Dispatches and waits, as a message loop does, for `ms` milliseconds.
void RunLoopFor(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    os::DispatchMessages();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left > 0) os::WaitForWork(static_cast<unsigned>(left));
  }
}

TEST(Timer, IsCreatedDisabled) {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  EXPECT_FALSE(timer.Enabled());
  timer.SetInterval(10);
  RunLoopFor(100);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, TicksOnlyInsideDispatchMessages) {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  timer.SetInterval(50);
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.Enabled());
  std::this_thread::sleep_for(std::chrono::milliseconds(180));
  EXPECT_EQ(ticks, 0);  // due several times over, but nobody dispatched
  EXPECT_TRUE(os::DispatchMessages());
  EXPECT_EQ(ticks, 1);  // at most once per call: missed ticks are not made up
  EXPECT_FALSE(os::DispatchMessages());
  EXPECT_EQ(ticks, 1);
}

TEST(Timer, TicksEveryIntervalInAMessageLoop) {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  timer.SetInterval(50);
  timer.SetEnabled(true);
  RunLoopFor(520);
  EXPECT_GE(ticks, 6);
  EXPECT_LE(ticks, 11);
}

TEST(Timer, ADisabledTimerDoesNotTick) {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  timer.SetInterval(20);
  timer.SetEnabled(true);
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Enabled());
  RunLoopFor(150);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, ACallbackMayDisableItselfAndDestroyAnother) {
  int firstTicks = 0, secondTicks = 0;
  auto second = std::make_unique<os::Timer>([&] { ++secondTicks; });
  std::unique_ptr<os::Timer> first;
  first = std::make_unique<os::Timer>([&] {
    ++firstTicks;
    first->SetEnabled(false);
    second.reset();
  });
  first->SetInterval(20);
  second->SetInterval(20);
  first->SetEnabled(true);
  second->SetEnabled(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  os::DispatchMessages();
  RunLoopFor(100);
  EXPECT_EQ(firstTicks, 1);
  EXPECT_LE(secondTicks, 1);  // it may have ticked first in the same call
  EXPECT_EQ(second, nullptr);
}

TEST(Timer, ACallbackMayDestroyItsOwnTimer) {
  int ticks = 0;
  std::unique_ptr<os::Timer> timer;
  timer = std::make_unique<os::Timer>([&] {
    ++ticks;
    timer.reset();
  });
  timer->SetInterval(10);
  timer->SetEnabled(true);
  RunLoopFor(100);
  EXPECT_EQ(ticks, 1);
}

TEST(WaitForWork, SleepsWhenThereIsNothingToDo) {
  const auto start = Clock::now();
  os::WaitForWork(200);
  EXPECT_GE(MillisecondsSince(start), 190);
}

TEST(WaitForWork, WakesWhenATimerIsDue) {
  os::Timer timer([] {});
  timer.SetInterval(50);
  timer.SetEnabled(true);
  const auto start = Clock::now();
  os::WaitForWork(5000);
  const auto waited = MillisecondsSince(start);
  EXPECT_GE(waited, 40);
  EXPECT_LT(waited, 1000);
}

TEST(WaitForWork, WakesPromptlyForAHandOver) {
  std::atomic<bool> ran{false};
  std::atomic<bool> result{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result = os::HandOver([&] { ran = true; });
  });
  const auto start = Clock::now();
  os::WaitForWork(5000);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_FALSE(ran);  // waiting runs nothing
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!ran && Clock::now() < deadline) {
    os::RunHandOvers();
    if (!ran) os::WaitForWork(50);
  }
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(result);
}

TEST(WaitForWork, OnTheManualClockJumpsToTheNextTickAndStandsStillForAHandOver) {
  os::UseManualClockForTesting(true);
  std::vector<std::pair<std::uint64_t, char>> ticks;  // clock reading, timer
  os::Timer a([&] { ticks.emplace_back(os::ManualClockMilliseconds(), 'a'); });
  os::Timer b([&] { ticks.emplace_back(os::ManualClockMilliseconds(), 'b'); });
  a.SetInterval(50);
  b.SetInterval(120);
  a.SetEnabled(true);
  b.SetEnabled(true);
  while (ticks.size() < 6) {
    os::WaitForWork(1000);
    os::DispatchMessages();
  }
  EXPECT_EQ(ticks, (std::vector<std::pair<std::uint64_t, char>>{
                       {50, 'a'}, {100, 'a'}, {120, 'b'}, {150, 'a'}, {200, 'a'}, {240, 'b'}}));
  ASSERT_TRUE(os::Post([] {}));
  os::WaitForWork(1000);
  EXPECT_EQ(os::ManualClockMilliseconds(), 240u) << "work is waiting: no time passes";
  os::RunHandOvers();
  a.SetEnabled(false);
  b.SetEnabled(false);
  os::WaitForWork(30);
  EXPECT_EQ(os::ManualClockMilliseconds(), 270u) << "no tick to come: the whole wait passes";
  os::UseManualClockForTesting(false);
}

TEST(HandOver, RunsOnTheThreadThatRunsHandOversAndBlocksUntilThen) {
  std::atomic<bool> returned{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    os::HandOver([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned);  // blocked: nobody ran it yet
  EXPECT_FALSE(os::DispatchMessages());  // message dispatch does not run hand-overs
  EXPECT_FALSE(returned);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  bool any = false;
  while (!any && Clock::now() < deadline) {
    any = os::RunHandOvers();
    if (!any) os::WaitForWork(50);
  }
  worker.join();
  EXPECT_TRUE(any);
  EXPECT_TRUE(returned);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_FALSE(os::RunHandOvers());
}

TEST(HandOver, AFailureOfTheWorkReachesTheWorker) {
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      os::HandOver([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!os::RunHandOvers() && Clock::now() < deadline) os::WaitForWork(50);
  worker.join();
  EXPECT_TRUE(caught);
}

TEST(HandOver, PostedWorkReturnsAtOnceAndRunsOnTheThreadThatRunsHandOvers) {
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(os::Post([] { throw std::runtime_error("goes no further"); }));
    EXPECT_TRUE(os::Post([&] { ranOn = std::this_thread::get_id(); }));
  });
  worker.join();  // returned without anybody running the work
  EXPECT_TRUE(os::RunHandOvers());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(HandOver, WorkQueuedByRunningWorkWaitsForTheNextRunAndIsNotLost) {
  std::vector<int> ran;
  ASSERT_TRUE(os::Post([&] {
    ran.push_back(1);
    EXPECT_TRUE(os::Post([&] { ran.push_back(2); }));
  }));
  EXPECT_TRUE(os::RunHandOvers());
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_TRUE(os::RunHandOvers());
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_FALSE(os::RunHandOvers());
}

// Shutting hand-overs down lasts for the process: run it in a child process.
TEST(HandOverDeathTest, AfterShutDownHandOversReturnFalseWithoutRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // One worker is already waiting when hand-overs shut down.
        std::atomic<int> pendingResult{-1};
        bool ran = false;
        std::thread pending([&] { pendingResult = os::HandOver([&] { ran = true; }) ? 1 : 0; });
        os::WaitForWork(2000);  // returns once the hand-over is queued
        os::ShutDownHandOvers();
        pending.join();
        bool laterResult = true;
        std::thread later([&] { laterResult = os::HandOver([&] { ran = true; }); });
        later.join();
        os::RunHandOvers();
        std::exit(pendingResult == 0 && !laterResult && !ran ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
