#include "engine/frame/QTimeThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/frame/EngineClock.h"
#include "engine/api/EngineApi.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace bw {
namespace {

std::atomic<uint32_t> fakeTick{0};
uint32_t FakeTick() { return fakeTick.load(); }
uint64_t FakeNow() { return 1'000'000; }

TEST(QTimeThread, ClockFollowsTheTickAndStepsOneSecondWhenItWraps) {
  EngineTime time;
  QTimeThread timer(time, FakeTick, FakeNow);
  fakeTick = 0xFFFFF000u;
  timer.Begin();
  EXPECT_EQ(time.clock, 1'000'000u) << "an unset clock starts from the system time";
  EXPECT_EQ(time.uptime, 1u);

  fakeTick = 0xFFFFF000u + 2500;
  EXPECT_EQ(timer.Advance(), 501u) << "the wait lasts until the next second is due";
  EXPECT_EQ(time.clock, 1'000'002u);
  EXPECT_EQ(time.uptime, 3u);

  fakeTick = 100;  // wrapped
  timer.Advance();
  EXPECT_EQ(time.clock, 1'000'003u);
  EXPECT_EQ(time.uptime, 4u);

  fakeTick = 100 + 1999;  // measured from the new base
  timer.Advance();
  EXPECT_EQ(time.clock, 1'000'004u);
  EXPECT_EQ(time.uptime, 5u);
}

TEST(QTimeThread, KeepsAClockThatIsAlreadySet) {
  EngineTime time;
  time.clock = 42;
  time.uptime = 7;
  QTimeThread timer(time, FakeTick, FakeNow);
  fakeTick = 5000;
  timer.Begin();
  fakeTick = 8000;
  timer.Advance();
  EXPECT_EQ(time.clock, 45u);
  EXPECT_EQ(time.uptime, 10u);
}

TEST(QTimeThread, RunningThreadFollowsTheTickAndStops) {
  EngineTime time;
  QTimeThread timer(time, FakeTick, FakeNow);
  fakeTick = 10'000;
  ASSERT_TRUE(timer.Start("test timer"));
  for (int i = 0; i < 100 && time.clock == 0u; ++i) platform::SleepMs(50);  // its base is taken
  fakeTick = 13'000;
  for (int i = 0; i < 100 && time.clock != 1'000'003u; ++i) platform::SleepMs(50);
  EXPECT_EQ(time.clock, 1'000'003u);
  EXPECT_TRUE(timer.Stop());
  EXPECT_FALSE(timer.IsRunning());
}

TEST(EngineClock, StartsTheTimerOnFirstReadAndStops) {
  const uint64_t now = platform::SystemTimeSeconds();
  const uint64_t clock = EngineClock();
  EXPECT_GE(clock + 1, now);
  EXPECT_LE(clock, now + 5);
  EXPECT_GE(EngineUptime(), 1u);
  CreateEngineLog();
  testing::internal::CaptureStderr();
  StopTimeThread();
  StopTimeThread();  // nothing left to stop
  const std::string logged = testing::internal::GetCapturedStderr();
  DeleteEngineLog();
  EXPECT_THAT(logged, testing::MatchesRegex(R"(\[[0-9:]{8}\] \[Time Ensure Thread Stopped\.\. \])" "\n"));
  EXPECT_GE(EngineClock() + 1, now) << "a later read starts a new timer";
  StopTimeThread();
}

}  // namespace
}  // namespace bw
