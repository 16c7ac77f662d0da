#include "engine/task/TPieceScheduler.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "engine/task/StallReport.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

constexpr int64_t kPieceLength = 32768;

// A scheduler over a real piece map; the pool, clock and ticks are set by the test.
class TestScheduler : public TPieceScheduler {
 public:
  explicit TestScheduler(int64_t pieces) {
    content = test::Content(static_cast<size_t>(pieces * kPieceLength));
    map.SetSaveDirectory(dir.path);
    loaded = map.LoadInfo(*test::Parse(test::SingleInfo("data.bin", pieces * kPieceLength, kPieceLength,
                                                        test::PieceHashes(content, kPieceLength))));
  }
  ~TestScheduler() override {
    for (TPeerId* id : sources) id->Release();
  }

  TPieces* Pieces() override { return &map; }
  uint64_t Clock() override { return now; }
  bool HasMetadata() override { return true; }
  bool IsComplete() override { return false; }
  bool CanSchedule() override { return true; }
  bool PeerConnectionsEnabled() override { return true; }
  int32_t CurrentPosition() override { return -1; }
  int32_t MaxConnections() override { return 52; }
  void AddDownloaded(int64_t) override {}
  void AddKindBytes(int32_t, int64_t) override {}
  void PenalizeSource(TPeerId&, int32_t) override {}
  void RequestCycleSoon() override {}
  std::vector<TRef<TPeerObject>>& ActivePeers() override { return active; }
  void SetPeerRates(int64_t, int64_t) override {}

  std::vector<TPeerId*> UrlSources() override { return sources; }
  int32_t MaxUrlConnections() override { return maxUrlConnections; }
  bool StopRequested() override { return false; }
  bool RandomStartEnabled() override { return randomStart; }
  bool FastStart() override { return fastStart; }
  uint32_t Ticks() override { return ticks; }

  void AddSources(int count, int32_t allowance) {
    for (int i = 0; i < count; ++i) {
      sources.push_back(test::MakeIdentity(SOURCE_HTTP, 8080 + i));
      sources.back()->allowance = allowance;
    }
  }

  test::TempDir dir;
  test::FakeTask piecesTask;
  TPieces map{piecesTask};
  std::string content;
  bool loaded = false;
  uint64_t now = 1000;
  uint32_t ticks = 0;
  bool randomStart = true;
  bool fastStart = false;
  int32_t maxUrlConnections = 1;
  std::vector<TPeerId*> sources;
  std::vector<TRef<TPeerObject>> active;
};

// A BitTorrent peer whose remote side has the pieces of `have`.
struct HavingPeer : test::TestPeer {
  using TestPeer::TestPeer;
  std::span<const uint8_t> RemoteHave() const override { return have; }
  std::vector<uint8_t> have;
};

class SchedulerFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    for (test::TestPeer* peer : peers) {
      peer->Reset();
      peer->Release();
    }
  }
  void Build(int64_t pieces) {
    sched = std::make_unique<TestScheduler>(pieces);
    ASSERT_TRUE(sched->loaded);
  }
  test::TestPeer* Peer(uint32_t kind, int64_t rate) {
    auto* peer = new test::TestPeer(kind, sched.get());
    peer->counters.downloadRate = rate;
    peers.push_back(peer);
    return peer;
  }
  // One range [first, last] worked by the peer since the clock's current time.
  TPieceRange* Working(test::TestPeer* peer, int32_t first, int32_t last) {
    sched->Ranges().push_back(std::make_unique<TPieceRange>(nullptr, first, last));
    peer->SetRange(sched->Ranges().back().get());
    return sched->Ranges().back().get();
  }

  std::unique_ptr<TestScheduler> sched;
  std::vector<test::TestPeer*> peers;
};

struct Span {
  int32_t first, last;
  bool operator==(const Span&) const = default;
};

std::vector<Span> Spans(TestScheduler& s, TPeerId* owner) {
  std::vector<Span> out;
  for (const auto& r : s.Ranges()) {
    if (r->Owner() == owner) out.push_back({r->first, r->last});
  }
  return out;
}

TEST_F(SchedulerFixture, InitialSplitGivesEachSourceASliceInRangesOfAboutFivePieces) {
  Build(100);
  sched->AddSources(3, 10);
  ASSERT_TRUE(sched->CreateInitialRanges());
  const std::vector<Span> first = Spans(*sched, sched->sources[0]);
  const std::vector<Span> expected = {{0, 3}, {4, 7}, {8, 11}, {12, 15}, {16, 19}, {20, 23}, {24, 32}};
  EXPECT_EQ(first, expected);
  EXPECT_EQ(sched->sources[0]->allowance, 7);
  EXPECT_EQ(Spans(*sched, sched->sources[1]).front().first, 33);
  EXPECT_EQ(Spans(*sched, sched->sources[1]).back().last, 65);
  EXPECT_EQ(Spans(*sched, sched->sources[2]).front().first, 66);
  EXPECT_EQ(Spans(*sched, sched->sources[2]).back().last, 99);
  for (const auto& r : sched->Ranges()) {
    EXPECT_EQ(r->next, r->first);
    EXPECT_EQ(r->worker, nullptr);
  }
}

TEST_F(SchedulerFixture, InitialSplitWithMoreSourcesThanPiecesStopsAtThePieceCount) {
  Build(2);
  sched->AddSources(5, 10);
  ASSERT_TRUE(sched->CreateInitialRanges());
  ASSERT_EQ(sched->Ranges().size(), 2u);
  EXPECT_EQ(Spans(*sched, sched->sources[0]), (std::vector<Span>{{0, 0}}));
  EXPECT_EQ(Spans(*sched, sched->sources[1]), (std::vector<Span>{{1, 1}}));
}

// A source created with one connection may open its share of the task's URL connections, so a
// mirror that limits each connection can still be filled.
TEST_F(SchedulerFixture, InitialSplitGivesEachSourceItsShareOfTheUrlConnections) {
  struct Case {
    const char* name;
    int64_t pieces;
    int sources;
    int32_t maxUrl;
    int32_t allowance;
    int32_t expected;
  };
  const Case cases[] = {
      {"four mirrors share 49 connections", 400, 4, 49, 1, 12},
      {"one mirror stops at the per-source ceiling", 1000, 1, 49, 1, TPieceScheduler::kMaxConnectionsPerSource},
      {"a short slice still gets a range per five pieces", 40, 4, 49, 1, 2},
      {"a larger allowance is kept", 400, 4, 8, 15, 15},
      {"more sources than connections still get one", 400, 8, 4, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(c.pieces);
    sched->maxUrlConnections = c.maxUrl;
    sched->AddSources(c.sources, c.allowance);
    ASSERT_TRUE(sched->CreateInitialRanges());
    for (TPeerId* source : sched->sources) {
      EXPECT_EQ(source->allowance, c.expected);
      EXPECT_EQ(static_cast<int32_t>(Spans(*sched, source).size()), c.expected);
    }
  }
}

TEST_F(SchedulerFixture, InitialSplitSurvivesAZeroAllowanceAndNoSources) {
  Build(10);
  EXPECT_FALSE(sched->CreateInitialRanges());
  sched->AddSources(1, 0);
  ASSERT_TRUE(sched->CreateInitialRanges());
  EXPECT_EQ(Spans(*sched, sched->sources[0]), (std::vector<Span>{{0, 9}}));
}

TEST_F(SchedulerFixture, AssignmentPrefersContinuationThenFreeRangesThenStaleOnes) {
  Build(40);
  sched->AddSources(1, 4);
  ASSERT_TRUE(sched->CreateInitialRanges());  // [0,9] [10,19] [20,29] [30,39]
  test::TestPeer* a = Peer(SOURCE_HTTP, 0);
  a->stats.currentPiece = 19;
  ASSERT_TRUE(sched->AssignRange(*a));
  EXPECT_EQ(a->Range()->first, 20);
  EXPECT_EQ(a->Range()->worker, a);
  EXPECT_EQ(a->stats.rangesTaken, 1);

  sched->ticks = 3;  // the free search starts at the fourth range
  test::TestPeer* b = Peer(SOURCE_HTTP, 0);
  ASSERT_TRUE(sched->AssignRange(*b));
  EXPECT_EQ(b->Range()->first, 30);
  test::TestPeer* c = Peer(SOURCE_HTTP, 0);
  ASSERT_TRUE(sched->AssignRange(*c));
  EXPECT_EQ(c->Range()->first, 0);
  test::TestPeer* d = Peer(SOURCE_HTTP, 0);
  ASSERT_TRUE(sched->AssignRange(*d));
  EXPECT_EQ(d->Range()->first, 10);

  // Every range is busy; one that never moved for more than ten seconds changes hands.
  d->Range()->next = 11;
  a->Range()->next = 21;
  b->Range()->next = 31;
  sched->now += TPieceScheduler::kStaleSeconds + 1;
  test::TestPeer* e = Peer(SOURCE_HTTP, 0);
  ASSERT_TRUE(sched->AssignRange(*e));
  EXPECT_EQ(e->Range()->first, 0);
  EXPECT_EQ(c->Range(), nullptr);
}

TEST_F(SchedulerFixture, StealingTakesAShareByRate) {
  struct Case {
    const char* name;
    bool holdsRange;
    int32_t taken;
  };
  for (const Case& k : {Case{"holding a range", true, 8}, Case{"holding none", false, 6}}) {
    Build(40);
    test::TestPeer* slow = Peer(SOURCE_HTTP, 1000);
    TPieceRange* r = Working(slow, 0, 19);
    r->next = 10;  // ten pieces left
    test::TestPeer* fast = Peer(SOURCE_HTTP, 3000);
    if (k.holdsRange) Working(fast, 30, 30)->next = 31;
    sched->now += 1;
    ASSERT_TRUE(sched->AssignRange(*fast)) << k.name;
    EXPECT_EQ(fast->Range()->last, 19) << k.name;
    EXPECT_EQ(fast->Range()->first, 20 - k.taken) << k.name;
    EXPECT_EQ(r->last, 19 - k.taken) << k.name;
    EXPECT_EQ(slow->Range(), r) << k.name;
    TearDown();
    peers.clear();
  }
}

TEST_F(SchedulerFixture, StealingAbandonsASlowSourceLeftWithTheSplitPiece) {
  Build(10);
  test::TestPeer* slow = Peer(SOURCE_HTTP, 1000);
  TPieceRange* r = Working(slow, 0, 5);
  r->next = 5;  // one piece left
  test::TestPeer* fast = Peer(SOURCE_HTTP, 100000);
  ASSERT_TRUE(sched->AssignRange(*fast));
  EXPECT_EQ(fast->Range()->first, 5);
  EXPECT_EQ(slow->Range(), nullptr);
  ASSERT_EQ(sched->Ranges().size(), 1u);
  EXPECT_EQ(sched->Ranges().front().get(), fast->Range());
}

// A worker on piece 9 of its range [0, 49] has `left` pieces after it when an idle URL
// connection asks for work; rates in pieces a second.
TEST_F(SchedulerFixture, AnIdleConnectionTakesTheTailOfARangeThatStillLastsLong) {
  struct Case {
    const char* name;
    int64_t workerRate;
    int32_t left;
    int64_t peerRate;  // 0: not measured yet
    int32_t taken;     // pieces the idle connection takes from the end; 0: none
  };
  constexpr int64_t P = kPieceLength;
  const Case cases[] = {
      {"a rest of one second stays whole", 10 * P, 10, 10 * P, 0},
      {"a rest of two seconds is halved with a peer as fast", 10 * P, 20, 10 * P, 10},
      {"and with a peer not measured yet", 10 * P, 20, 0, 10},
      {"and with a peer at half the rate", 10 * P, 20, 5 * P, 10},
      {"but not with a slower peer, which would end last", 10 * P, 20, 5 * P - 1, 0},
      {"a much faster peer takes a piece more", 10 * P, 20, 30 * P, 11},
      {"a rest of minutes is shared even with a slow peer", P / 4, 20, P / 100, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(50);
    test::TestPeer* worker = Peer(SOURCE_HTTP, c.workerRate);
    TPieceRange* r = Working(worker, 0, 49);
    r->next = 50 - c.left;
    worker->stats.currentPiece = r->next - 1;
    test::TestPeer* idle = Peer(SOURCE_HTTP, c.peerRate);
    sched->now += 1;
    EXPECT_EQ(sched->AssignRange(*idle), c.taken > 0);
    const TPieceRange* taken = idle->Range();
    EXPECT_EQ(taken ? taken->first : 50, 50 - c.taken);
    EXPECT_EQ(taken ? taken->last : 49, 49);
    EXPECT_EQ(r->last, 49 - c.taken) << "no piece is fetched by both";
    TearDown();
    peers.clear();
  }
}

// Each split halves the rest: once every rest is short, idle connections stay idle.
TEST_F(SchedulerFixture, SplittingStopsOnceEveryRestIsShort) {
  Build(50);
  test::TestPeer* worker = Peer(SOURCE_HTTP, 10 * kPieceLength);
  Working(worker, 0, 49)->next = 30;  // two seconds left
  worker->stats.currentPiece = 29;
  std::vector<test::TestPeer*> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(Peer(SOURCE_HTTP, 10 * kPieceLength));
  sched->now += 1;
  ASSERT_TRUE(sched->AssignRange(*idle[0]));
  idle[0]->Range()->next = idle[0]->Range()->first + 1;  // on its first piece
  EXPECT_FALSE(sched->AssignRange(*idle[1])) << "both rests last a second";
  EXPECT_FALSE(sched->AssignRange(*idle[2]));
  EXPECT_EQ(sched->Ranges().size(), 2u);
}

// Pieces 0..9 with 0..2 done: the worker is on piece 3 of its range [0, 9] when an idle peer
// asks for work that nobody else has.
TEST_F(SchedulerFixture, EndGameGivesTheSlowOrStalledWorkersRestToAFasterIdlePeer) {
  struct Case {
    const char* name;
    int64_t workerRate;
    uint64_t silentFor;  // seconds since the worker last received anything
    int64_t peerRate;
    bool takenOver;
  };
  const Case cases[] = {
      {"stalled worker, peer of unknown rate", 100000, TPieceScheduler::kStallSeconds, 0, true},
      {"worker without a rate yet, measured peer", 0, 0, 1000, true},
      {"neither has a rate", 0, 0, 0, false},
      {"peer twice as fast", 100000, 0, 200000, true},
      {"peer not twice as fast", 100000, 0, 199999, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(10);
    for (int32_t piece = 0; piece < 3; ++piece) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
    test::TestPeer* worker = Peer(SOURCE_HTTP, c.workerRate);
    TPieceRange* r = Working(worker, 0, 9);
    r->next = 4;
    worker->stats.currentPiece = 3;
    worker->stats.lastDataTime = sched->now - c.silentFor;
    test::TestPeer* idle = Peer(SOURCE_HTTP, c.peerRate);
    EXPECT_EQ(sched->TakeOverSlowWork(*idle), c.takenOver);
    EXPECT_TRUE(sched->InEndGame());
    if (c.takenOver) {
      ASSERT_NE(idle->Range(), nullptr);
      EXPECT_EQ(idle->Range()->first, 3) << "the piece the worker is on is fetched by both";
      EXPECT_EQ(idle->Range()->last, 9);
      EXPECT_EQ(r->last, 3);
      EXPECT_EQ(worker->Range(), r);
    } else {
      EXPECT_EQ(idle->Range(), nullptr);
      EXPECT_EQ(r->last, 9);
    }
    TearDown();
    peers.clear();
  }
}

// Pieces 0..9 with 0..2 done; a worker of the given kind fetches piece 3 of its range [0, 9],
// receiving all the while, when a BitTorrent peer with no rate yet asks for work.
TEST_F(SchedulerFixture, ANewBitTorrentPeerRacesASlowMirrorForItsRest) {
  struct Case {
    const char* name;
    uint32_t workerKind;
    int64_t workerRate;
    uint8_t remoteHas;  // pieces 0..7 of the remote side
    bool takenOver;
  };
  const Case cases[] = {
      {"a mirror that needs minutes", SOURCE_HTTP, 1000, 0xFF, true},
      {"an FTP mirror as well", SOURCE_FTP, 1000, 0xFF, true},
      {"a mirror done within seconds", SOURCE_HTTP, 100000, 0xFF, false},
      {"the remote lacks the mirror's piece", SOURCE_HTTP, 1000, 0xEF, false},
      {"a slow BitTorrent worker is raced only by a peer measured faster", SOURCE_BTNODE, 1000, 0xFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(10);
    for (int32_t piece = 0; piece < 3; ++piece) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
    test::TestPeer* worker = Peer(c.workerKind, c.workerRate);
    TPieceRange* r = Working(worker, 0, 9);
    r->next = 4;
    worker->stats.currentPiece = 3;
    worker->stats.lastDataTime = sched->now;
    HavingPeer peer(SOURCE_BTNODE, sched.get());
    peer.have = {c.remoteHas, 0xC0};
    EXPECT_EQ(sched->TakeOverSlowWork(peer), c.takenOver);
    if (c.takenOver) {
      ASSERT_NE(peer.Range(), nullptr);
      EXPECT_EQ(peer.Range()->first, 3) << "the mirror's piece is fetched by both";
      EXPECT_EQ(peer.Range()->last, 9);
      EXPECT_EQ(r->last, 3);
    } else {
      EXPECT_EQ(peer.Range(), nullptr);
      EXPECT_EQ(r->last, 9);
    }
    peer.Reset();
    TearDown();
    peers.clear();
  }
  Build(10);
  test::TestPeer* mirror = Peer(SOURCE_HTTP, 1000);
  Working(mirror, 0, 9)->next = 1;
  mirror->stats.lastDataTime = sched->now;
  test::TestPeer* newMirror = Peer(SOURCE_HTTP, 0);
  EXPECT_FALSE(sched->TakeOverSlowWork(*newMirror)) << "a URL source still has to show a rate";
}

// A BitTorrent peer's claimed run [4, 9] is walked downwards: pieces 0..3 and 9 are done and its
// requests wait in piece 8. In the end game an idle mirror shares that piece alone, and no third
// source is given it.
TEST_F(SchedulerFixture, EndGameSharesTheStalledPieceOfAClaimedRun) {
  struct Case {
    const char* name;
    int64_t runRate;
    uint64_t silentFor;
    int64_t mirrorRate;
    bool shared;
  };
  const Case cases[] = {
      {"stalled run, mirror of unknown rate", 100000, TPieceScheduler::kStallSeconds, 0, true},
      {"slow run, mirror twice as fast", 1000, 0, 2000, true},
      {"slow run, mirror not twice as fast", 1000, 0, 1999, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(10);
    for (int32_t piece : {0, 1, 2, 3, 9}) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
    test::TestPeer* slow = Peer(SOURCE_BTNODE, c.runRate);
    TPieceRange* run = Working(slow, 4, 9);
    run->abandoned = true;
    slow->Ask(8 * kPieceLength / kBlockSize, kBlockSize);
    slow->stats.lastDataTime = sched->now - c.silentFor;
    test::TestPeer* mirror = Peer(SOURCE_HTTP, c.mirrorRate);
    ASSERT_EQ(sched->TakeOverSlowWork(*mirror), c.shared);
    EXPECT_EQ(run->first, 4);
    EXPECT_EQ(run->last, 9);
    EXPECT_EQ(slow->Range(), run);
    if (c.shared) {
      EXPECT_EQ(mirror->Range()->first, 8);
      EXPECT_EQ(mirror->Range()->last, 8);
      mirror->stats.lastDataTime = sched->now;
      test::TestPeer* third = Peer(SOURCE_HTTP, 1000000);
      EXPECT_FALSE(sched->TakeOverSlowWork(*third));
    }
    TearDown();
    peers.clear();
  }
}

TEST_F(SchedulerFixture, EndGameTakesTheSlowestWorkButNeverAThirdCopyOfAPiece) {
  Build(20);
  test::TestPeer* slow = Peer(SOURCE_HTTP, 1000);
  test::TestPeer* slower = Peer(SOURCE_HTTP, 500);
  Working(slow, 0, 9);
  Working(slower, 10, 11);  // less time left than the other for all its slowness
  for (test::TestPeer* worker : {slow, slower}) worker->stats.lastDataTime = sched->now;
  test::TestPeer* first = Peer(SOURCE_HTTP, 100000);
  ASSERT_TRUE(sched->TakeOverSlowWork(*first));
  EXPECT_EQ(first->Range()->first, 0);
  EXPECT_EQ(first->Range()->last, 9);
  first->stats.lastDataTime = sched->now;

  test::TestPeer* second = Peer(SOURCE_HTTP, 100000);
  ASSERT_TRUE(sched->TakeOverSlowWork(*second));
  EXPECT_EQ(second->Range()->first, 10) << "piece 0 has two workers already";
  test::TestPeer* third = Peer(SOURCE_HTTP, 100000);
  EXPECT_FALSE(sched->TakeOverSlowWork(*third));

  // Both workers on piece 0 stall: neither counts any more, or the piece waits for their time-outs.
  sched->now += TPieceScheduler::kStallSeconds;
  ASSERT_TRUE(sched->TakeOverSlowWork(*third));
  EXPECT_EQ(third->Range()->first, 0);
}

// The peer that completes a piece keeps its own requests; the others drop theirs, except what a
// BitTorrent peer has already sent (its wire cancels those).
TEST_F(SchedulerFixture, AVerifiedPieceIsCancelledAtTheOtherPeers) {
  Build(4);
  const int64_t perPiece = kPieceLength / kBlockSize;
  test::TestPeer* winner = Peer(SOURCE_HTTP, 0);
  test::TestPeer* loser = Peer(SOURCE_HTTP, 0);
  test::TestPeer* wire = Peer(SOURCE_BTNODE, 0);
  for (test::TestPeer* peer : {winner, loser, wire}) {
    sched->active.push_back(TRef<TPeerObject>::Share(peer));
    for (int64_t b = 0; b < 2 * perPiece; ++b) peer->Ask(b, kBlockSize);
  }
  wire->MarkSent();
  sched->PieceVerified(0, *winner);
  EXPECT_EQ(winner->Requests().size(), 2u * perPiece);
  EXPECT_EQ(loser->Requests().size(), 1u * perPiece);
  EXPECT_EQ(loser->Requests().front().block, perPiece);
  EXPECT_EQ(wire->Requests().size(), 2u * perPiece);
  sched->active.clear();
}

// A BitTorrent peer with nothing of its own to fetch in the end game takes blocks of the shared
// list that its remote side has.
TEST_F(SchedulerFixture, IdleBitTorrentPeerTakesSharedEndGameBlocks) {
  Build(4);
  for (int32_t piece = 0; piece < 3; ++piece) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
  test::TestPeer* worker = Peer(SOURCE_HTTP, 100000);
  Working(worker, 3, 3);
  worker->stats.lastDataTime = sched->now;
  const int64_t firstBlock = 3 * kPieceLength / kBlockSize;
  sched->EndGameList() = {{firstBlock, kBlockSize}, {firstBlock + 1, kBlockSize}};
  HavingPeer peer(SOURCE_BTNODE, sched.get());
  peer.have = {0xF0};
  ASSERT_TRUE(peer.PlanRequests());
  EXPECT_TRUE(sched->InEndGame());
  ASSERT_EQ(peer.Requests().size(), 2u);
  EXPECT_EQ(peer.Requests()[0].block, firstBlock);
  EXPECT_TRUE(sched->EndGameList().empty());
  peer.Reset();
}

TEST_F(SchedulerFixture, EndGameBlocksMoveForOnePieceAndGoWhenItCompletes) {
  Build(4);
  const int64_t perPiece = kPieceLength / kBlockSize;  // 2 blocks a piece
  for (int64_t b = 0; b < 4 * perPiece; ++b) sched->EndGameList().push_back({b, kBlockSize});
  const uint8_t has[] = {0x60};     // pieces 1 and 2
  const uint8_t exclude[] = {0x40};  // piece 1
  std::vector<TBlockRequest> out = {{5, kBlockSize}};
  ASSERT_TRUE(sched->TakeEndGameBlocks(has, exclude, 0, out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].block, 4);
  EXPECT_EQ(sched->EndGameList().size(), 7u);  // block 5 stays: the peer asked for it already
  EXPECT_FALSE(sched->TakeEndGameBlocks(has, exclude, 0, out));

  sched->OnPieceCompleted(2);
  std::vector<int64_t> left;
  for (const TBlockRequest& r : sched->EndGameList()) left.push_back(r.block);
  EXPECT_EQ(left, (std::vector<int64_t>{0, 1, 2, 3, 6, 7}));
}

std::vector<int32_t> WantedPieces(TPieceScheduler& s, const TPeerObject* by) {
  std::vector<int32_t> out;
  for (const TWantedPiece& w : s.WantedList()) {
    if (w.by == by) out.push_back(w.piece);
  }
  return out;
}

TEST_F(SchedulerFixture, WantedListCapsRepeatsAndForgetsCompletedPieces) {
  Build(100);
  // With 100 pieces and none verified a piece may be listed once more after its first entry.
  EXPECT_TRUE(sched->WantPiece(7, true, false));
  EXPECT_TRUE(sched->WantPiece(7, true, false));
  EXPECT_FALSE(sched->WantPiece(7, true, false));
  EXPECT_FALSE(sched->WantPiece(8, false, false));
  sched->WantPiece(8, true, false);
  EXPECT_TRUE(sched->WantPiece(8, false, false));
  sched->OnPieceCompleted(7);
  EXPECT_EQ(WantedPieces(*sched, nullptr), (std::vector<int32_t>{8}));
  EXPECT_TRUE(sched->WantPiece(8, false, true));
  EXPECT_FALSE(sched->WantPiece(8, false, false));
}

// A peer is on the list once for each piece it works on; when it leaves, a piece it began stays
// wanted by the task for the next peer to finish, the rest goes, and other peers' entries stay.
TEST_F(SchedulerFixture, APeerLeavingLeavesItsBegunPiecesWantedByTheTask) {
  Build(100);
  test::TestPeer* leaving = Peer(SOURCE_BTNODE, 0);
  test::TestPeer* staying = Peer(SOURCE_BTNODE, 0);
  for (int32_t piece : {3, 4, 5}) EXPECT_TRUE(sched->WantPiece(piece, *leaving));
  EXPECT_TRUE(sched->WantPiece(3, *leaving)) << "a second entry of the same peer is not needed";
  EXPECT_TRUE(sched->WantPiece(5, *staying));
  bool accepted = false;
  const int64_t begun = 4 * kPieceLength / kBlockSize;
  ASSERT_EQ(sched->map.ReceiveBlock(begun, kBlockSize,
                                    reinterpret_cast<const uint8_t*>(sched->content.data()) + begun * kBlockSize,
                                    nullptr, &accepted),
            kBlockSize);
  EXPECT_EQ(WantedPieces(*sched, leaving), (std::vector<int32_t>{3, 4, 5}));
  sched->ReleaseWanted(*leaving);
  EXPECT_EQ(WantedPieces(*sched, leaving), (std::vector<int32_t>{}));
  EXPECT_EQ(WantedPieces(*sched, nullptr), (std::vector<int32_t>{4}));
  EXPECT_EQ(WantedPieces(*sched, staying), (std::vector<int32_t>{5}));

  // A piece that failed is nobody's work any more: the task wants it first.
  sched->OnPieceWantedAgain(5);
  EXPECT_EQ(WantedPieces(*sched, staying), (std::vector<int32_t>{}));
  EXPECT_EQ(WantedPieces(*sched, nullptr), (std::vector<int32_t>{4, 5}));
  sched->ClearWanted();
  EXPECT_TRUE(sched->WantedList().empty());
}

// A piece that fails its check after the range it lay in was walked through and removed, or
// whose range's worker has passed it, gets a range of its own when URL sources serve the task
// (any of them takes it); one still ahead in a live range, or in one waiting for its rescan, is
// left to that range.
TEST_F(SchedulerFixture, AFailedPieceOutsideEveryRangeGetsARangeOfItsOwn) {
  struct Case {
    const char* name;
    bool urlSources;
    int32_t rangeFirst, rangeLast, rangeNext;  // a live range, -1 for none
    bool rescan;
    bool ownRange;
  };
  const Case cases[] = {
      {"outside every range", true, 6, 9, 6, false, true},
      {"ahead in a live range", true, 0, 5, 3, false, false},
      {"passed in a live range", true, 0, 5, 5, false, true},
      {"passed in a range waiting for its rescan", true, 0, 5, 6, true, false},
      {"no URL source to take it", false, -1, -1, -1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(10);
    if (c.urlSources) sched->AddSources(1, 1);
    if (c.rangeFirst >= 0) {
      sched->Ranges().push_back(std::make_unique<TPieceRange>(nullptr, c.rangeFirst, c.rangeLast));
      sched->Ranges().back()->next = c.rangeNext;
      sched->Ranges().back()->exhausted = sched->Ranges().back()->rescan = c.rescan;
    }
    sched->OnPieceWantedAgain(3);
    const auto own = std::find_if(sched->Ranges().begin(), sched->Ranges().end(),
                                  [](const std::unique_ptr<TPieceRange>& r) { return r->first == 3 && r->last == 3; });
    EXPECT_EQ(own != sched->Ranges().end(), c.ownRange);
    if (!c.ownRange) continue;
    test::TestPeer url(SOURCE_HTTP, sched.get());
    sched->ticks = 1;  // the search for a free range starts at the piece's own
    ASSERT_TRUE(sched->AssignRange(url));
    EXPECT_EQ(url.Range()->first, 3);
    url.Reset();
  }
}

// Pieces 0..6 are done: the stall line names the missing pieces, the ranges that hold them with
// their workers (one no longer among the task's peers), and the needed piece no range holds.
TEST_F(SchedulerFixture, StallReportShowsWhereTheMissingPiecesAre) {
  Build(10);
  for (int32_t piece = 0; piece < 7; ++piece) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
  test::TestPeer* worker = Peer(SOURCE_HTTP, 0);
  sched->active.push_back(TRef<TPeerObject>::Share(worker));
  Working(worker, 5, 7)->next = 8;
  worker->stats.currentPiece = 7;
  Working(Peer(SOURCE_HTTP, 0), 8, 8);
  sched->Ranges().push_back(std::make_unique<TPieceRange>(nullptr, 0, 4));  // all done: not shown
  std::vector<TRef<TPeerId>> sources;
  sources.push_back(TRef<TPeerId>::Share(test::MakeIdentity(SOURCE_HTTP, 8080, "http://mirror/data")));
  sources.back()->Release();
  sources.back()->activeConnections = 1;
  sources.back()->allowance = 4;
  sched->now += 7;

  const std::string line = DescribeStall(sched->map, *sched, sources, sched->active, sched->now);
  for (const char* part : {"3 of 10 pieces missing: 7(0+0) 8(0+0) 9(0+0)", "ranges: [5-7 next 8 #0 owner none age 7]",
                           "[8-8 next 8 gone owner none age 7]", "unclaimed: 9-9 |", "[http://mirror/data conns 1/4",
                           "[#0 kind 2 link 0 state 0 piece 7 requests 0 silent", "range 5-7]"}) {
    EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
  }
  EXPECT_EQ(line.find("[0-4"), std::string::npos) << line;
  sched->active.clear();
}

// URL connections as the task drives them, second by second in four steps: one piece's
// requests at a time, asked for when the last is in; a connection that finds no work ends; a
// source without connections dials one every second, one with a single connection only while a
// range waits for it. Meanwhile connections end, stall (for up to 40 s; 30 s of silence time one
// out) or send pieces that fail; hashing takes up to a second.
class UrlSimulation {
 public:
  static constexpr uint64_t kTimeOut = 30;

  UrlSimulation(TestScheduler& s, uint32_t seed) : s_(s), random_(seed) { s_.map.HashInBackground(true); }
  ~UrlSimulation() {
    s_.map.HashInBackground(false);
    for (TRef<TPeerObject>& peer : s_.active) peer->Reset();
    s_.active.clear();
  }

  // Runs `seconds` with mishaps, then as long again without; the longest time in which no piece
  // completed (INT32_MAX when the content never did), and the scheduler's view 3 s into it.
  int LongestQuiet(int seconds, std::string* view) {
    int longest = 0;
    int quiet = 0;
    int64_t missing = Missing();
    for (int t = 0; t < 2 * seconds && missing > 0; ++t) {
      Second(t < seconds);
      if (Missing() != missing) {
        missing = Missing();
        quiet = 0;
        continue;
      }
      if (++quiet > longest) longest = quiet;
      if (quiet == 3) quietView_ = DescribeStall(s_.map, s_, {}, s_.active, s_.now);
      if (quiet == longest && quiet >= 3) *view = quietView_;
    }
    if (missing > 0) longest = INT32_MAX;
    return longest;
  }

 private:
  struct Link {
    uint32_t speed = 1;  // eighths of a block a step
    uint64_t stalledUntil = 0;
    bool liar = false;
  };

  int64_t Missing() const { return s_.map.PieceCount() - s_.map.DonePieces(); }
  uint32_t Roll(uint32_t n) { return static_cast<uint32_t>(random_() % n); }

  void Dial(TPeerId* source, bool mishaps) {
    TRef<TPeerObject> peer = MakeRef<test::TestPeer>(SOURCE_HTTP, &s_);
    if (!peer->ConnectTo(source)) return;
    peer->stats.startTime = s_.now;
    peer->PlanRequests();
    if (peer->Requests().empty()) {
      peer->Reset();
      return;
    }
    links_[peer.get()] = {1 + Roll(4), 0, mishaps && Roll(20) == 0};
    s_.active.push_back(std::move(peer));
  }

  void End(TPeerObject* peer) {
    links_.erase(peer);
    TRef<TPeerObject> held = TRef<TPeerObject>::Share(peer);
    std::erase(s_.active, held);
    held->Reset();
  }

  bool RangeWaits(const TPeerId& id) {
    return std::any_of(s_.Ranges().begin(), s_.Ranges().end(), [&id](const std::unique_ptr<TPieceRange>& r) {
      const TPeerId* owner = r->Owner();
      return !r->worker && !r->exhausted && !r->abandoned &&
             (owner == &id || !owner || owner->activeConnections >= owner->allowance);
    });
  }

  bool ConnectionsStalled(const TPeerId& id) const {
    return std::all_of(s_.active.begin(), s_.active.end(), [this, &id](const TRef<TPeerObject>& p) {
      return p->PeerId() != &id || TPieceScheduler::Stalled(*p, s_.now);
    });
  }

  // The verdicts of the background hasher; a piece that failed is wanted again.
  void TakeVerdicts() {
    std::vector<int32_t> hashing;
    for (int32_t piece = 0; piece < s_.map.PieceCount(); ++piece) {
      if (s_.map.Piece(piece).Hashing) hashing.push_back(piece);
    }
    for (int32_t piece : hashing) {
      while (s_.map.Piece(piece).Hashing) {
        std::this_thread::yield();
        s_.map.TakeVerdicts();
      }
      if (!s_.map.Piece(piece).Verified) s_.OnPieceWantedAgain(piece);
    }
  }

  // False when the connection ends.
  bool Step(TPeerObject& peer, const Link& link) {
    if (peer.Requests().empty()) {
      peer.PlanRequests();
      if (peer.Requests().empty()) return false;
    }
    if (s_.now < link.stalledUntil) return s_.now < std::max(peer.stats.lastDataTime, peer.stats.startTime) + kTimeOut;
    if (Roll(8) >= link.speed) return true;
    const TBlockRequest r = peer.Requests().front();
    std::string data = s_.content.substr(static_cast<size_t>(r.block * kBlockSize), static_cast<size_t>(r.length));
    if (link.liar) data[0] = static_cast<char>(data[0] ^ 1);
    return peer.DeliverBlock(r.block, r.length, reinterpret_cast<const uint8_t*>(data.data()));
  }

  void Second(bool mishaps) {
    ++s_.now;
    TakeVerdicts();
    for (int step = 0; step < 4; ++step) {
      const std::vector<TRef<TPeerObject>> peers = s_.active;
      for (const TRef<TPeerObject>& peer : peers) {
        Link& link = links_[peer.get()];
        if (mishaps && Roll(100) == 0) link.stalledUntil = s_.now + 1 + Roll(40);
        if (!Step(*peer, link) || (mishaps && Roll(400) == 0)) End(peer.get());
      }
    }
    for (int32_t piece = 0; piece < s_.map.PieceCount(); ++piece) {
      if (s_.map.Piece(piece).Verified && !s_.map.IsPieceComplete(piece)) {
        ASSERT_TRUE(s_.map.SetPieceState(piece, true));
        s_.OnPieceCompleted(piece);
      }
    }
    for (const TRef<TPeerObject>& peer : s_.active) {
      peer->counters.downloadRate = peer->counters.windowDelivered;
      if (peer->counters.downloadRate > 0) peer->PeerId()->lastRate = peer->counters.downloadRate;
      peer->counters.windowDelivered = 0;
    }
    // As the task dials within its limit: a source without connections, one with a connection
    // while a range waits, and one whose connections all stalled, to take their work over.
    for (TPeerId* source : s_.sources) {
      if (static_cast<int32_t>(s_.active.size()) >= s_.maxUrlConnections) break;
      if (source->activeConnections == 0 || (source->activeConnections == 1 && RangeWaits(*source)) ||
          ConnectionsStalled(*source)) {
        Dial(source, mishaps);
      }
    }
  }

  TestScheduler& s_;
  std::minstd_rand random_;
  std::map<const TPeerObject*, Link> links_;
  std::string quietView_;
};

// Many simulated minutes: a sanitizer's pace makes them long.
class SchedulerSimulationSlow : public SchedulerFixture {};

// Whatever befell the connections, no piece waits for a time-out: bwget gives up after 20 s.
TEST_F(SchedulerSimulationSlow, UrlSourcesNeverLeaveTheContentWaitingForATimeOut) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    Build(120);
    sched->AddSources(3, 1);
    sched->maxUrlConnections = 12;
    UrlSimulation simulation(*sched, seed);
    std::string view;
    EXPECT_LT(simulation.LongestQuiet(60, &view), 15) << "seed " << seed << "\n" << view;
  }
}

TEST_F(SchedulerFixture, RandomStartPieceStaysInsideTheContent) {
  Build(10);
  sched->randomStart = false;
  EXPECT_EQ(sched->RandomStartPiece(), -1);
  sched->randomStart = true;
  for (int32_t piece = 0; piece < 8; ++piece) ASSERT_TRUE(sched->map.SetPieceState(piece, true));
  for (bool fast : {false, true}) {
    sched->fastStart = fast;
    for (uint32_t t = 0; t < 200; ++t) {
      sched->ticks = t * 7919u;
      const int32_t piece = sched->RandomStartPiece();
      ASSERT_GE(piece, 0);
      ASSERT_LT(piece, 10) << "ticks " << sched->ticks;
    }
  }
}

}  // namespace
}  // namespace bw
