#include <gtest/gtest.h>

#include "engine/task/StallReport.h"

namespace bw {
namespace {

// The watch tells a stall once, after kQuietSeconds without a received byte while pieces are
// missing; data, or nothing left to fetch, ends the stall and arms it again.
TEST(StallWatchTest, TellsEachStallOnceAfterItsQuietSeconds) {
  constexpr uint64_t kQuiet = StallWatch::kQuietSeconds;
  StallWatch watch;
  EXPECT_FALSE(watch.Due(100, 0, true)) << "the first look only starts the watch";
  EXPECT_FALSE(watch.Due(100 + kQuiet - 1, 0, true));
  EXPECT_TRUE(watch.Due(100 + kQuiet, 0, true));
  EXPECT_FALSE(watch.Due(100 + 3 * kQuiet, 0, true)) << "once for each stall";

  EXPECT_FALSE(watch.Due(200, 10, true)) << "data arrived";
  EXPECT_FALSE(watch.Due(200 + kQuiet - 1, 10, true));
  EXPECT_TRUE(watch.Due(200 + kQuiet, 10, true)) << "a second stall is told again";

  EXPECT_FALSE(watch.Due(300, 10, false)) << "nothing missing, or nobody to fetch it";
  EXPECT_FALSE(watch.Due(300 + kQuiet - 1, 10, true));
  EXPECT_TRUE(watch.Due(300 + kQuiet + 4, 10, true));
}

}  // namespace
}  // namespace bw
