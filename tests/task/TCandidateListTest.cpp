#include <gtest/gtest.h>

#include "engine/task/TCandidateList.h"

namespace bw {
namespace {

TRef<TPeerId> Id(int32_t priority, int32_t rankB = 0, int32_t failures = 0, int32_t attempts = 0,
                 int32_t waitTicks = 0) {
  TRef<TPeerId> id = MakeRef<TPeerId>();
  id->priority = priority;
  id->rankB = rankB;
  id->failures = failures;
  id->attempts = attempts;
  id->waitTicks = waitTicks;
  id->parsed = 1;
  id->kind = SOURCE_HTTP;
  return id;
}

TEST(TCandidateList, SortFollowsEveryRankingKeyInTurn) {
  TCandidateList list;
  // Each entry ranks just behind the one before it by a single key.
  const TRef<TPeerId> order[] = {Id(29, 5, 0, 0, 0), Id(29, 4, 0, 0, 0), Id(29, 4, 1, 0, 0),
                      Id(29, 4, 1, 2, 0), Id(29, 4, 1, 2, 3), Id(19, 9, 0, 0, 0)};
  for (size_t i = std::size(order); i-- > 0;) list.Add(order[i], false);
  list.Sort();
  ASSERT_EQ(list.Size(), std::size(order));
  for (size_t i = 0; i < std::size(order); ++i) EXPECT_EQ(list[i], order[i].get()) << i;
  for (size_t i = 0; i + 1 < std::size(order); ++i) EXPECT_FALSE(TCandidateList::RanksBefore(*order[i + 1], *order[i]));
}

struct ReadyCase {
  const char* name;
  int32_t kind;
  int32_t failures;
  int32_t waitTicks;
  int32_t floor;  // what the last penalty asked for
  int32_t active;
  int32_t allowance;
  bool dataFlowing;
  bool hasWork;
  int32_t attempts;
  uint64_t lastAttempt;
  bool ready;
  int32_t waitAfter;
};

// The first readiness test after a penalty shortens the back-off by the failure history.
TEST(TCandidateList, ReadinessShortensAndCountsDownTheBackOff) {
  const ReadyCase cases[] = {
      {"fresh url source", SOURCE_HTTP, 0, 0, 0, 0, 1, true, false, 0, 0, true, 0},
      {"backing off", SOURCE_HTTP, 0, 3, 3, 0, 1, true, false, 0, 0, false, 2},
      {"last tick of back-off", SOURCE_FTP, 0, 1, 1, 0, 1, true, false, 0, 0, true, 0},
      {"1-5 failures: /5", SOURCE_HTTP, 2, 50, 1, 0, 1, true, false, 0, 0, false, 9},
      {"1-5 failures below 5", SOURCE_HTTP, 5, 4, 1, 0, 1, true, false, 0, 0, true, 0},
      {"6-15 failures: /10", SOURCE_HTTP, 6, 50, 1, 0, 1, true, false, 0, 0, false, 4},
      {"over 15 failures: at once", SOURCE_HTTP, 16, 999, 1, 0, 1, true, false, 0, 0, true, 0},
      {"no data flowing: /10 again", SOURCE_HTTP, 0, 500, 1, 0, 1, false, false, 0, 0, false, 49},
      {"no data flowing, 10 or less", SOURCE_HTTP, 0, 10, 1, 0, 1, false, false, 0, 0, true, 0},
      {"never below the penalty's own", SOURCE_HTTP, 2, 120, 60, 0, 1, false, false, 0, 0, false, 59},
      {"over 15 failures, penalty's own", SOURCE_HTTP, 16, 999, 60, 0, 1, true, false, 0, 0, false, 59},
      {"at its allowance", SOURCE_HTTP, 0, 0, 0, 1, 1, true, true, 0, 0, false, 0},
      {"one connection, work left", SOURCE_HTTP, 0, 0, 0, 1, 2, true, true, 0, 0, true, 0},
      {"one connection, no work", SOURCE_HTTP, 0, 0, 0, 1, 2, true, false, 0, 0, false, 0},
      {"peer already connected", SOURCE_BTNODE, 0, 0, 0, 1, 1, true, false, 0, 0, false, 0},
      {"peer free", SOURCE_BTNODE, 0, 0, 0, 0, 1, true, false, 0, 0, true, 0},
      {"tracker never asked", SOURCE_TRACKER, 0, 0, 0, 0, 1, true, false, 0, 0, true, 0},
      {"tracker asked 599 s ago", SOURCE_TRACKER, 0, 0, 0, 0, 1, true, false, 1, 1401, false, 0},
      {"tracker asked 600 s ago", SOURCE_TRACKER, 0, 0, 0, 0, 1, true, false, 1, 1400, true, 0},
  };
  for (const ReadyCase& c : cases) {
    TPeerId id;
    id.parsed = 1;
    id.kind = c.kind;
    id.failures = c.failures;
    id.waitTicks = c.waitTicks;
    id.backOffFloor = c.floor;
    id.backOffShortened = false;
    id.activeConnections = c.active;
    id.allowance = c.allowance;
    id.attempts = c.attempts;
    id.lastAttempt = c.lastAttempt;
    EXPECT_EQ(TCandidateList::IsReady(id, c.dataFlowing, c.hasWork, 2000), c.ready) << c.name;
    EXPECT_EQ(id.waitTicks, c.waitAfter) << c.name;
  }
  TPeerId unparsed;
  unparsed.kind = SOURCE_HTTP;
  EXPECT_FALSE(TCandidateList::IsReady(unparsed, true, true, 2000));
}

// However often the test runs, a failing source waits its back-off out in seconds: shortened
// once after its penalty, then one step a second.
TEST(TCandidateList, BackOffIsShortenedOncePerPenaltyAndCountedInSeconds) {
  TPeerId id;
  id.parsed = 1;
  id.kind = SOURCE_HTTP;
  id.failures = 1;
  id.waitTicks = 300;
  id.backOffFloor = 60;
  id.backOffShortened = false;
  uint64_t now = 1000;
  int calls = 0;
  while (!TCandidateList::IsReady(id, false, false, now)) {
    ++calls;
    if (calls % 4 == 0) ++now;  // four passes a second
  }
  EXPECT_EQ(now, 1000u + 59);
}

TEST(TCandidateList, FullListKeepsTheBestIdentities) {
  TCandidateList list;
  for (size_t i = 0; i < TCandidateList::kMaxCandidates; ++i) ASSERT_TRUE(list.Add(Id(19, 0, 1), false));
  const TRef<TPeerId> worst = Id(19, 0, 7);
  worst->addressText = "w";
  EXPECT_FALSE(list.Add(worst, false)) << "ranks below every entry";
  EXPECT_EQ(list.Size(), TCandidateList::kMaxCandidates);
  EXPECT_EQ(list.FindText("w"), nullptr);

  const TRef<TPeerId> better = Id(29);
  better->addressText = "http://better/";
  EXPECT_TRUE(list.Add(better, true));
  EXPECT_EQ(list.Size(), TCandidateList::kMaxCandidates);
  EXPECT_EQ(list[0], better.get());

  const TRef<TPeerId> equal = Id(19, 0, 1);
  equal->addressText = "http://equal/";
  EXPECT_FALSE(list.Add(equal, false)) << "no better than the weakest: refused";
  EXPECT_EQ(list.FindText("http://equal/"), nullptr);
}

TEST(TCandidateList, PruneDropsWhatNoLongerParsesAndCountsLookupFailures) {
  TCandidateList list;
  const TRef<TPeerId> kept = Id(29);
  const TRef<TPeerId> malformed = Id(29);
  const TRef<TPeerId> unresolved = Id(29);
  malformed->parsed = 0;
  unresolved->parsed = 0;
  unresolved->lookupFailed = 1;
  list.Add(kept, false);
  list.Add(malformed, false);
  list.Add(unresolved, false);
  EXPECT_EQ(list.Prune(), 1);
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list[0], kept.get());
}

TEST(TCandidateList, AddAmongEqualStaysInsideItsPriority) {
  TCandidateList list;
  list.Add(Id(29), false);
  list.Add(Id(19), false);
  list.Add(Id(19), false);
  list.Add(Id(1), false);
  for (uint32_t pick = 0; pick < 6; ++pick) {
    const TRef<TPeerId> id = Id(19);
    ASSERT_TRUE(list.AddAmongEqual(id, pick));
    size_t at = 0;
    while (list[at] != id.get()) ++at;
    EXPECT_GE(at, 1u);
    EXPECT_LE(at, list.Size() - 2);
    EXPECT_EQ(at, 1 + pick % (list.Size() - 2));
    list.Remove(id.get());
  }
}

}  // namespace
}  // namespace bw
