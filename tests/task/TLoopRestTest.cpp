#include "engine/task/TLoopRest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace bw {
namespace {

// A rest far longer than any test: only what ends it early lets the future become ready.
constexpr uint32_t kLongRestMs = 600000;
constexpr auto kPatience = std::chrono::seconds(10);

TEST(TLoopRestTest, WakeEndsARestAndAnEarlierWakeIsNotLost) {
  TLoopRest rest;
  auto resting = std::async(std::launch::async, [&] { rest.Rest(kLongRestMs, [] { return true; }); });
  rest.Wake();  // before or during the rest: either way it ends
  ASSERT_EQ(resting.wait_for(kPatience), std::future_status::ready);
  // The wake was used up: a short rest now runs to its end.
  const auto start = std::chrono::steady_clock::now();
  rest.Rest(30, [] { return true; });
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(TLoopRestTest, RestEndsOnceItMayNoLonger) {
  TLoopRest rest;
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0};
  auto resting = std::async(std::launch::async, [&] {
    rest.Rest(kLongRestMs, [&] {
      ++asked;
      return !stop.load();
    });
  });
  stop = true;
  ASSERT_EQ(resting.wait_for(kPatience), std::future_status::ready);
  EXPECT_GE(asked.load(), 1);
}

}  // namespace
}  // namespace bw
