#include "engine/task/TRateMeter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace bw {
namespace {

TEST(RateMeter, SmoothsOverAScriptedSequenceOfSeconds) {
  struct Second {
    int64_t received, written, sent;
    bool complete;
    int64_t smoothed, downBytes;
  };
  const Second script[] = {
      {4000, 3000, 10, false, 3000, 3000},  // (3 × 4000 + 0) / 4
      {4000, 4000, 0, false, 3750, 4000},   // (12000 + 3000) / 4
      {0, 0, 0, false, 937, 0},             // integer division of 3750 / 4
      {1000, 800, 0, false, 984, 800},      // (3000 + 937) / 4
      {5000, 0, 7, true, 0, 5000},          // complete: received bytes count, the rate reads 0
      {5000, 0, 0, false, 3750, 0},         // the old rate is gone once complete
  };
  TRateMeter meter;
  for (const Second& s : script) {
    meter.AddReceived(s.received);
    meter.AddWritten(s.written);
    meter.AddSent(s.sent);
    const TRateMeter::Second closed = meter.CloseSecond(s.complete);
    EXPECT_EQ(meter.SmoothedRate(), s.smoothed) << "received " << s.received;
    EXPECT_EQ(closed.downBytes, s.downBytes);
    EXPECT_EQ(closed.sent, s.sent);
    EXPECT_EQ(meter.Received() + meter.Written() + meter.Sent(), 0) << "counters start over";
  }
}

TEST(RateMeter, RateClassPipelineAndPauseFollowTheBytesOfTheSecond) {
  struct Case {
    int64_t bytes;
    int32_t rateClass, pipeline, pauseMs;
  };
  const Case cases[] = {
      {3145729, 1, 14, 2}, {3145728, 2, 9, 3}, {1536001, 2, 9, 3}, {1536000, 3, 7, 4},
      {819201, 3, 7, 4},   {819200, 4, 6, 5},  {307201, 4, 6, 5},  {307200, 5, 5, 6},
      {300000, 5, 5, 6},   {0, 5, 5, 6},
  };
  for (const Case& c : cases) {
    for (bool complete : {false, true}) {
      TRateMeter meter;
      // Downloading is paced by what was written, seeding by what was sent.
      (complete ? meter.AddSent(c.bytes) : meter.AddWritten(c.bytes));
      meter.AddReceived(complete ? 0 : 9999999);
      meter.CloseSecond(complete);
      EXPECT_EQ(meter.RateClass(), c.rateClass) << c.bytes << (complete ? " sent" : " written");
      EXPECT_EQ(meter.Pipeline(), c.pipeline) << c.bytes;
      EXPECT_EQ(meter.UploadPipeline(), 3 * c.pipeline) << c.bytes;
      EXPECT_EQ(meter.TickPauseMs(), c.pauseMs) << c.bytes;
    }
  }
}

TEST(RateMeter, PacingBeforeTheFirstSecondAndBetweenSeconds) {
  TRateMeter meter;
  EXPECT_EQ(meter.Pipeline(), 6);
  EXPECT_EQ(meter.UploadPipeline(), 18);
  EXPECT_EQ(meter.TickPauseMs(), 6);

  constexpr int64_t slow = TRateMeter::kFastPeerRate;  // 28,671: not above the line
  constexpr int64_t fast = TRateMeter::kFastPeerRate + 1;
  std::vector<int32_t> slowRuns;
  std::vector<int32_t> fastRuns;
  for (int32_t tick = 0; tick < 13; ++tick) {
    if (meter.RunsDownload(slow, false)) slowRuns.push_back(tick);
    if (meter.RunsDownload(fast, false)) fastRuns.push_back(tick);
    EXPECT_TRUE(meter.RunsDownload(0, true)) << "every peer runs when a second closes";
    meter.AdvanceTick();
  }
  EXPECT_EQ(slowRuns, (std::vector<int32_t>{0, 6, 12}));
  EXPECT_EQ(fastRuns.size(), 13u);

  meter.RestartTicks();
  EXPECT_EQ(meter.Ticks(), 0);
  EXPECT_TRUE(meter.RunsUpload(0, 1)) << "first step of a second with extra uploads";
  EXPECT_FALSE(meter.RunsUpload(0, 0)) << "no extra uploads and the second is young";
  EXPECT_TRUE(meter.RunsUpload(fast, 0));
  for (int i = 0; i < 9; ++i) meter.AdvanceTick();
  EXPECT_FALSE(meter.RunsUpload(0, 1)) << "not an upload-pipeline step";
  for (int i = 0; i < 9; ++i) meter.AdvanceTick();
  EXPECT_TRUE(meter.RunsUpload(0, 0)) << "the 18th step lets slow uploaders run";
}

TEST(RateMeter, ExtraUploadsSlotsAndConnections) {
  struct Extra {
    int64_t sent;
    int32_t slots, extra;
  };
  for (const Extra& c : std::vector<Extra>{{0, 6, 1}, {49151, 6, 1}, {49152, 6, 0}, {0, 20, 3}, {0, 8, 1}}) {
    EXPECT_EQ(TRateMeter::ExtraUploads(c.sent, c.slots), c.extra) << c.sent << " / " << c.slots;
  }
  EXPECT_EQ(TRateMeter::UploadSlots(0), 8);
  EXPECT_EQ(TRateMeter::UploadSlots(8192 * 20), 12);
  EXPECT_EQ(TRateMeter::UploadSlots(8192 * 100), 20);
  EXPECT_EQ(TRateMeter::MaxConnections(0, 0), 52);
  EXPECT_EQ(TRateMeter::MaxConnections(4096 * 60, 4096 * 40), 108);
  EXPECT_EQ(TRateMeter::MaxConnections(int64_t{1} << 40, 0), 20480) << "stays inside the settings' range";
}

TEST(RateMeter, BudgetNormalisesTheLimitAndTakesTheSmallerOfLimitAndShare) {
  constexpr int64_t unlimited = TRateMeter::kUnlimited;
  struct Case {
    int32_t limitKiB;
    int64_t share;
    int64_t budget;
  };
  const Case cases[] = {
      {0, 0, unlimited},                                   // 0 = unlimited
      {-5, 0, unlimited},                                  // no positive product
      {std::numeric_limits<int32_t>::max(), 0, unlimited}, // the product does not fit
      {2, 0, 3072},                                        // never below 3 KiB/s
      {4, 0, 4096},
      {32766, 0, 32766 * 1024},
      {100, 50000, 50000},                                 // the share is smaller
      {100, 1000, 3072},
      {0, 200000, 200000},
      {2, -1, 3072},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TRateMeter::Budget(c.limitKiB, c.share), c.budget) << c.limitKiB << " KiB/s, share " << c.share;
  }
}

TEST(RateMeter, RemainingTimeBeyondFourGiB) {
  constexpr int64_t pieceLength = 4 << 20;
  // 2,048 pieces of 4 MiB: 8 GiB, whose product overflows 32 bits.
  EXPECT_EQ(TRateMeter::RemainingSeconds(pieceLength, 2048, 1024), int64_t{8} << 20);
  EXPECT_EQ(TRateMeter::RemainingSeconds(pieceLength, 2048, 1 << 20), 8192);
  EXPECT_EQ(TRateMeter::RemainingSeconds(int64_t{16} << 20, 1000000, 1024), int64_t{16384000000});
  EXPECT_EQ(TRateMeter::RemainingSeconds(pieceLength, 2048, 1023), 0) << "below 1 KiB/s nothing is estimated";
  EXPECT_EQ(TRateMeter::RemainingSeconds(pieceLength, 0, 4096), 0);
}

TEST(RateMeter, AveragesAndPercentagesAreTakenIn64Bits) {
  EXPECT_EQ(TRateMeter::Average(uint64_t{5} << 30, 0), int64_t{5} << 30) << "at least one second";
  EXPECT_EQ(TRateMeter::Average(10, 3), 3);
  EXPECT_EQ(TRateMeter::PercentOf(3000000000, 1000000000), 75);
  EXPECT_EQ(TRateMeter::PercentOf(1, 1), 50);
  EXPECT_EQ(TRateMeter::PercentOf(0, 0), 0) << "no rates: no division";
}

TEST(RateMeter, ShareOutSpreadsALimitByWhatEachTaskUsed) {
  struct Case {
    const char* name;
    int64_t limit;
    std::vector<int64_t> used;
    std::vector<int64_t> shares;
  };
  const Case cases[] = {
      // demands 8 and 24 KiB of 99,328 bytes: 3,104 per KiB; the last task takes half the rest + 16
      {"by demand", 102400, {8192, 24576}, {24832, 76048}},
      // a task that used all of its share gets more of the room before the last one
      {"full users first", 30000, {40000, 8192}, {23882, 5363}},
      // below the floor every task still gets 3 KiB/s
      {"floor", 3072, {0, 0, 0}, {3072, 3072, 3072}},
      // no process-wide limit: no share, so an idle task is not held to a sliver of it
      {"unlimited", 0, {100000000, 0}, {0, 0}},
      {"none", 102400, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TRateMeter::ShareOut(c.limit, c.used), c.shares) << c.name;
  }
}

}  // namespace
}  // namespace bw
