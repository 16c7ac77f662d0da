#include "engine/net/ConnectionLimits.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

TEST(ConnectionLimitsTest, HalfOpenLimitFromTheSystemsAnswer) {
  struct Case {
    int32_t queried;
    int32_t limit;
  };
  for (const Case c : {Case{10, 8}, Case{34, 32}, Case{50, 32}, Case{3, 1}, Case{2, 32}, Case{0, 32},
                       Case{kNoDriverFile, 32}, Case{-6, 32}}) {
    EXPECT_EQ(HalfOpenLimitFrom(c.queried), c.limit) << c.queried;
  }
  EXPECT_EQ(QueryHalfOpenLimit(), kNoDriverFile) << "this platform has no driver file to read";
}

}  // namespace
}  // namespace bw
