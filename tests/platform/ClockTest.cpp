#include "platform/Clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Thread.h"

namespace platform {
namespace {

TEST(Clock, TickAdvancesInMilliseconds) {
  const uint32_t before = TickCountMs();
  SleepMs(20);
  const uint32_t elapsed = TickCountMs() - before;  // modulo 2^32, as the engine reads it
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 10000u);
}

TEST(Clock, LocalTimeFormats) {
  char buf[64];
  EXPECT_EQ(FormatLocalTime(buf, sizeof buf, "%Y-%m-%d %X"), 19u);
  EXPECT_THAT(buf, testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
  char tiny[4] = "abc";
  EXPECT_EQ(FormatLocalTime(tiny, sizeof tiny, "%Y-%m-%d"), 0u);
  EXPECT_STREQ(tiny, "") << "left terminated when the text does not fit";
  EXPECT_GT(SystemTimeSeconds(), 1'600'000'000u);
}

}  // namespace
}  // namespace platform
