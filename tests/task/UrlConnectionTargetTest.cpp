#include "engine/task/UrlConnectionTarget.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

TEST(UrlConnectionTarget, StepsUpOnlyWhileEveryConnectionIsHeldAndTheLastStepPaidOff) {
  struct Case {
    const char* name;
    UrlConnectionFacts facts;
    int32_t target;
  };
  // active, least, allowance, settled, fast, rate, stepFrom, stepRate
  const Case cases[] = {
      {"nothing open yet", {0, 1, 12, 0, 0, 0, 0, 0}, 1},
      {"the task's minimum first", {0, 3, 12, 0, 0, 0, 0, 0}, 3},
      {"the first connection has not shown its rate", {1, 1, 12, 0, 0, 0, 0, 0}, 1},
      {"a fast mirror keeps its one connection", {1, 1, 12, 1, 1, 300 * kMiB, 0, 0}, 1},
      {"a held connection opens the first step", {1, 1, 12, 1, 0, 4 * kMiB, 0, 0}, 4},
      {"a connection that delivered nothing opens none", {1, 1, 12, 1, 0, 0, 0, 0}, 1},
      {"a step not yet shown is waited for", {4, 1, 12, 1, 0, 4 * kMiB, 1, 4 * kMiB}, 4},
      {"a step that paid off opens the next, within the allowance", {4, 1, 12, 4, 0, 16 * kMiB, 1, 4 * kMiB}, 12},
      {"a step that brought less than half its promise stops", {4, 1, 12, 4, 0, 9 * kMiB, 1, 6 * kMiB}, 4},
      {"one fast connection among held ones stops the steps", {4, 1, 12, 4, 1, 20 * kMiB, 1, 4 * kMiB}, 4},
      {"at the allowance", {12, 1, 12, 12, 0, 48 * kMiB, 4, 16 * kMiB}, 12},
      {"a lowered allowance bounds the target below what is open", {12, 1, 6, 12, 0, 48 * kMiB, 4, 16 * kMiB}, 6},
      {"fewer connections than the last step had", {2, 1, 12, 2, 0, 8 * kMiB, 4, 16 * kMiB}, 8},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlConnectionTarget(c.facts), c.target) << c.name;
}

}  // namespace
}  // namespace bw
