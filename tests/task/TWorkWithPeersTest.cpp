#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "engine/frame/EngineClock.h"
#include "engine/net/ConnectionLimits.h"
#include "engine/net/ProcessIPFilter.h"
#include "engine/sources/TPeerObject.h"
#include "engine/net/QSocket.h"
#include "engine/net/QUdpSocket.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/LanDiscovery.h"
#include "engine/task/TPieceScheduler.h"
#include "engine/task/TWorkThread.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/TestResolver.h"
#include "tests/task/TaskTestSupport.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr uint8_t kHash[20] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 1};

class FakePeer : public TPeerObject {
 public:
  FakePeer(uint32_t kind, int* alive) : TPeerObject(kind, nullptr), alive_(alive) { ++*alive_; }
  ~FakePeer() override { --*alive_; }
  bool ReadInput() override { return true; }
  bool DownloadStep() override { return stepOk; }
  // A source with nothing left to fetch declines to connect, as an HTTP source does; a dial
  // that fails does so after the peer took the identity.
  bool ConnectTo(TPeerId* id) override {
    if (nothingToFetch) {
      workState = kFinished;
      return false;
    }
    const bool fails = dialsBeforeFailure-- == 0;
    if (!TPeerObject::ConnectTo(id)) return false;
    // Stamped as a real peer is: with no task of its own it would look stalled from the start.
    stats.startTime = EngineClock();
    return !fails;
  }
  bool stepOk = true;
  static inline bool nothingToFetch = false;
  static inline int dialsBeforeFailure = -1;  // the dial after this many fails

 private:
  int* alive_;
};

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

// The pool of a task that is never started; peers are fakes for the kinds in `buildable`.
class PoolTask : public TWorkThread {
 public:
  using TWorkWithPeers::ConnectionPasses;
  using TWorkWithPeers::StepUpUrlSources;
  using TWorkWithPeers::kStepCheckMs;
  using TWorkWithPeers::CopyIPFilter;
  using TWorkWithPeers::RetirePeer;
  using TWorkWithPeers::ReplaceUrlSources;
  using TWorkWithPeers::HandOutSources;
  using TWorkWithPeers::IsReady;
  using TWorkWithPeers::Penalize;
  using TWorkWithPeers::RetireSource;
  using TWorkWithPeers::JoinSwarm;
  using TWorkWithPeers::LeaveSwarm;
  using TWorkWithPeers::MaintainListener;
  using TWorkWithPeers::DiscoverLanPeers;
  using TWorkWithPeers::PruneCandidates;
  using TWorkWithPeers::activePeers;
  using TWorkWithPeers::candidates;
  using TWorkWithPeers::sparePeers;

  void SetSources(std::vector<TaskSource> list) { sources = std::move(list); }
  std::vector<TaskSource> Used() { return usedSources; }
  int32_t Candidates() { return CandidateCount(); }
  void SetP2sp() { p2sp = true; }
  void BuildHandshake(const uint8_t* hash) {
    handshake_[0] = 19;
    std::memcpy(handshake_ + 1, "BitTorrent protocol", 19);
    std::memcpy(handshake_ + 28, hash, 20);
    std::memcpy(handshake_ + 48, "\0\1Bw-own-peer-id-xx", 20);
    hasHandshake_ = true;
  }
  const uint8_t* Own() const { return handshake_; }
  int32_t WorkingStatus() const { return working.status; }
  int32_t Connecting() {
    return static_cast<int32_t>(std::count_if(activePeers.begin(), activePeers.end(),
                                              [](const TRef<TPeerObject>& p) { return p->IsConnecting(); }));
  }
  int32_t Connected(int32_t kind) {
    int32_t n = 0;
    for (const TRef<TPeerObject>& p : activePeers) n += p->Kind() == kind && p->IsConnected();
    return n;
  }

  int buildable = SOURCE_HTTP | SOURCE_BTNODE | SOURCE_TRACKER;
  int alive = 0;
  bool realPeers = false;  // the task's own peer classes instead of fakes
  bool urlWork = false;    // every URL source has work for another connection
  uint32_t ms = 1000;

 protected:
  bool SourceHasWork(TPeerId& id) override { return urlWork || TWorkThread::SourceHasWork(id); }
  bool SourceWorksInRanges(const TPeerId& id) override { return urlWork || TWorkThread::SourceWorksInRanges(id); }
  uint32_t TickMs() override { return ms; }
  TRef<TPeerObject> NewPeerObject(int32_t kind) override {
    if (realPeers) return TWorkThread::NewPeerObject(kind);
    if (!(buildable & kind)) return {};
    return MakeRef<FakePeer>(static_cast<uint32_t>(kind), &alive);
  }
  const uint8_t* SwarmHandshake() const override { return hasHandshake_ ? handshake_ : nullptr; }

 private:
  uint8_t handshake_[68] = {};
  bool hasHandshake_ = false;
};

class PeerPool : public testing::Test {
 protected:
  void SetUp() override {
    task = std::make_unique<PoolTask>();
  }
  void TearDown() override {
    task->Reset(1, 1);
    EXPECT_EQ(task->alive, 0) << "every peer object released";
    task.reset();
    ProcessSettings().p2pEnabled.store(true);
    test::EndTasks();
  }

  test::TempDir dir;
  std::unique_ptr<PoolTask> task;
};

TEST_F(PeerPool, HandOutTurnsLinesIntoCandidatesOnce) {
  task->SetSources({{"http://127.0.0.1:9/a.cab", kSourceIdle},
                    {"btnode://10.0.0.5:6881", kSourceTorrent},
                    {"http://127.0.0.1:9/a.cab", kSourceIdle},
                    {"not a source", kSourceIdle},
                    {"", kSourceIdle}});
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2) << "the repeated address is one identity";
  const auto marks = task->Sources();
  EXPECT_EQ(marks[0].mark, kSourceHandedOut);
  EXPECT_EQ(marks[1].mark, kSourceTorrentHandedOut);
  EXPECT_EQ(marks[2].mark, kSourceHandedOut);
  EXPECT_EQ(marks[3].mark, kSourceIdle) << "a line that does not parse stays idle";
  EXPECT_EQ(task->Used().size(), 5u);
  for (size_t i = 0; i < task->candidates.Size(); ++i) EXPECT_EQ(task->candidates[i]->priority, 29);
  const TPeerId* node = task->candidates.Find(Ip(10, 0, 0, 5), 6881, SOURCE_BTNODE);
  ASSERT_NE(node, nullptr);

  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2) << "handed-out lines are not handed out again";
  task->ReturnSourcesToIdle();
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2) << "lines handed out again merge with their identity";
}

TEST_F(PeerPool, UnresolvedHostRaises20216AndIsNotACandidate) {
  test::TestResolver().Set("nowhere.test", {platform::kWsaHostNotFound, {}});
  task->SetSources({{"http://nowhere.test/f", kSourceIdle}});
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 0);
  EXPECT_EQ(task->WorkingStatus(), kTaskStatusHostUnresolved);
  EXPECT_EQ(task->Sources()[0].mark, kSourceIdle);

  task->Reset(0, 1);
  TRef<TPeerId> id = MakeRef<TPeerId>("http://127.0.0.1/x");
  id->lookupFailed = 1;  // a redirect target that later failed to resolve
  task->candidates.Add(id, false);
  task->PruneCandidates();
  EXPECT_EQ(task->Candidates(), 0);
  EXPECT_EQ(task->WorkingStatus(), kTaskStatusHostUnresolved);
}

TEST_F(PeerPool, MirrorsJoinAndLeaveThePool) {
  task->AddMirrors("http://127.0.0.1:8/m1\nhttp://127.0.0.1:8/m2", "h1\nnull");
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2);
  EXPECT_EQ(task->candidates.FindText("http://127.0.0.1:8/m1")->UrlInfo().hostHeader, "h1");
  EXPECT_EQ(task->candidates.FindText("http://127.0.0.1:8/m2")->UrlInfo().hostHeader, "") << "null: none";
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2);
  task->ClearMirrors();
  task->AddMirrors("http://127.0.0.1:8/m2 x", "h2");
  task->HandOutSources();
  ASSERT_EQ(task->Candidates(), 1);
  EXPECT_EQ(task->candidates[0]->addressText, "http://127.0.0.1:8/m2%20x");
  task->ClearMirrors();
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 0);
}

TEST_F(PeerPool, PassesStayWithinTheLimits) {
  task->SetSources({{"http://127.0.0.1:9/1", 0}, {"http://127.0.0.1:9/2", 0}, {"http://127.0.0.1:9/3", 0},
                    {"http://127.0.0.1:9/4", 0}, {"http://127.0.0.1:9/5", 0}});
  task->HandOutSources();
  for (uint8_t i = 1; i <= 4; ++i) task->AddCandidate(Ip(10, 0, 0, i), 6881, SOURCE_BTNODE, false, 19);
  EXPECT_EQ(task->MaxPeerConnections(), 0) << "no peers before the application sets a limit";
  task->ConnectionPasses(100);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 5) << "five mirrors under 49: every one at once";
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 0);

  task->Reset(0, 0);
  task->HandOutSources();  // lines still marked: nothing
  EXPECT_EQ(task->Candidates(), 0);
  task->ReturnSourcesToIdle();
  task->HandOutSources();
  for (uint8_t i = 1; i <= 4; ++i) task->AddCandidate(Ip(10, 0, 0, i), 6881, SOURCE_BTNODE, false, 19);
  task->SetPeerLimits(3, 2);
  task->ConnectionPasses(200);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 3);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 2);
  task->ConnectionPasses(200);
  task->ConnectionPasses(201);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 3);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 2);
  for (const TRef<TPeerObject>& p : task->activePeers) EXPECT_EQ(p->PeerId()->activeConnections, 1);
}

TEST_F(PeerPool, SlowUrlConnectionsMakeWayForUntriedSources) {
  task->SetSources({{"http://127.0.0.1:9/1", 0}, {"http://127.0.0.1:9/2", 0}, {"http://127.0.0.1:9/3", 0},
                    {"http://127.0.0.1:9/4", 0}, {"http://127.0.0.1:9/5", 0}});
  task->HandOutSources();
  task->SetPeerLimits(3, 0);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Connected(SOURCE_HTTP), 3);
  TPeerObject* fast = task->activePeers.front().get();
  fast->counters.downloadRate = 4 * TWorkWithPeers::kSlowSourceRate;
  std::vector<std::string> slow;
  for (const TRef<TPeerObject>& p : task->activePeers) {
    p->stats.startTime -= TWorkWithPeers::kSlowSourceGrace;
    if (p != fast) slow.push_back(p->PeerId()->addressText);
  }
  task->ReplaceUrlSources();
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 3);
  EXPECT_NE(std::find(task->activePeers.begin(), task->activePeers.end(), fast), task->activePeers.end());
  for (const TRef<TPeerObject>& p : task->activePeers) {
    EXPECT_EQ(std::find(slow.begin(), slow.end(), p->PeerId()->addressText), slow.end()) << "a slow source again";
  }
  for (const std::string& text : slow) EXPECT_GT(task->candidates.FindText(text)->waitTicks, 0);
}

constexpr int64_t kMiB = int64_t{1} << 20;

// Each connection of a mirror gets what the mirror gives it per connection, within what it gives
// all of them together.
struct RateMirror {
  const char* url;
  int64_t perConnection;
  int64_t total;
};

const RateMirror kRateMirrors[] = {
    {"http://127.0.0.1:9/fast", 300 * kMiB, 300 * kMiB},
    {"http://127.0.0.1:9/held", 4 * kMiB, 1000 * kMiB},
    {"http://127.0.0.1:9/full", 6 * kMiB, 8 * kMiB},
};

void JoinRateMirrors(PoolTask& task) {
  task.urlWork = true;
  std::vector<TaskSource> lines;
  for (const RateMirror& m : kRateMirrors) lines.push_back({m.url, 0});
  task.SetSources(lines);
  task.HandOutSources();
  for (const RateMirror& m : kRateMirrors) task.candidates.FindText(m.url)->allowance = 12;
}

// What each connection delivered since it started, at its mirror's rates.
void DeliverAtMirrorRates(PoolTask& task) {
  for (const TRef<TPeerObject>& p : task.activePeers) {
    const RateMirror& m = *std::find_if(std::begin(kRateMirrors), std::end(kRateMirrors),
                                        [&p](const RateMirror& m) { return p->PeerId()->addressText == m.url; });
    const int64_t rate = std::min(m.perConnection, m.total / p->PeerId()->activeConnections);
    p->counters.deliveredKiB = rate / 1024 * (task.ms - p->stats.startMs) / 1000;
  }
}

// One pass a second.
TEST_F(PeerPool, MirrorsOpenConnectionsInStepsWhileEachIsHeldToARateAndTheMirrorHasRoom) {
  const std::vector<int32_t> expected[] = {{1, 1, 1, 1}, {1, 4, 12, 12}, {1, 4, 4, 4}};
  JoinRateMirrors(*task);
  for (size_t pass = 0; pass < 4; ++pass) {
    DeliverAtMirrorRates(*task);
    task->ConnectionPasses(100 + pass);
    for (size_t i = 0; i < std::size(kRateMirrors); ++i) {
      EXPECT_EQ(task->candidates.FindText(kRateMirrors[i].url)->activeConnections, expected[i][pass])
          << kRateMirrors[i].url << " after pass " << pass;
    }
    task->ms += 1000;
  }
}

// Between the passes a step follows as soon as the one before has run long enough to show its
// rate: a held mirror is filled within about a second, not one step a second.
TEST_F(PeerPool, StepsFollowEachOtherBetweenThePassesAsSoonAsTheRatesShow) {
  constexpr uint32_t kCheck = PoolTask::kStepCheckMs;
  constexpr int32_t kShown = static_cast<int32_t>(kRateSettleMs / kCheck);
  JoinRateMirrors(*task);
  task->ConnectionPasses(100);
  for (int32_t check = 1; check <= 3 * kShown; ++check) {
    task->ms += kCheck;
    DeliverAtMirrorRates(*task);
    task->StepUpUrlSources();
    const int32_t held = check < kShown ? 1 : check < 2 * kShown ? 4 : 12;
    const int32_t expected[] = {1, held, std::min(held, 4)};
    for (size_t i = 0; i < std::size(kRateMirrors); ++i) {
      EXPECT_EQ(task->candidates.FindText(kRateMirrors[i].url)->activeConnections, expected[i])
          << kRateMirrors[i].url << " after " << check * kCheck << " ms";
    }
  }
}

TEST_F(PeerPool, ChangedMirrorsRotateUrlConnectionsEvery31Seconds) {
  task->SetPeerLimits(2, 0);
  task->AddMirrors("http://127.0.0.1:8/m1\nhttp://127.0.0.1:8/m2\nhttp://127.0.0.1:8/m3", "");
  task->HandOutSources();
  task->ConnectionPasses(100);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 1) << "at the limit one connection makes way";
  task->ConnectionPasses(101);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 2);
  for (size_t i = 0; i < task->candidates.Size(); ++i) EXPECT_GE(task->candidates[i]->attempts, 1) << "m3 got its turn";
  task->ConnectionPasses(130);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 2) << "no trim within 31 seconds";
  task->ConnectionPasses(131);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 2) << "same count as last time: one out, one in";
  task->ClearMirrors();
  task->ConnectionPasses(200);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 2) << "no trim once the mirror lists settle";
}

TEST_F(PeerPool, SourceWithoutPeerClassLeavesThePool) {
  task->SetSources({{"ftp://127.0.0.1:21/f", 0}, {"http://127.0.0.1:9/f", 0}});
  task->HandOutSources();
  ASSERT_EQ(task->Candidates(), 2);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Candidates(), 1);
  EXPECT_EQ(task->candidates[0]->kind, SOURCE_HTTP);
}

// Kinds whose protocol this build does not speak yet sit next to a working HTTP source: they are
// never dialled and hold no peer object.
TEST_F(PeerPool, SourcesOfUnspokenProtocolsNeitherDialNorHarmTheHttpSource) {
  test::LoopbackServer http(test::Echo);
  test::LoopbackServer others(test::Echo);
  task->realPeers = true;
  task->SetPeerLimits(49, 10);
  task->SetSources({{"http://127.0.0.1:" + std::to_string(http.Port()) + "/f", 0}});
  task->HandOutSources();
  TPeerId* node = task->AddCandidate(test::Loopback(), others.Port(), SOURCE_BTNODE, false, 19);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(task->Candidates(), 2);

  for (uint64_t now = 100; now < 160; ++now) task->ConnectionPasses(now);

  ASSERT_EQ(task->activePeers.size(), 1u);
  EXPECT_EQ(task->activePeers[0]->Kind(), SOURCE_HTTP);
  EXPECT_TRUE(task->activePeers[0]->IsConnected());
  EXPECT_TRUE(test::WaitFor([&http] { return http.Connections() == 1; }, 5));
  EXPECT_TRUE(task->sparePeers.empty()) << "a refused peer is released, not kept";
  for (const TRef<TPeerId>& id : task->candidates.Items()) {
    if (id->kind != SOURCE_HTTP) {
      EXPECT_EQ(id->activeConnections, 0) << id->addressText;
    }
  }
  EXPECT_EQ(others.Connections(), 0);
}

// The pool takes the process-wide filter when its peer work starts and dials no blocked address;
// the same test stands ready for the listener.
TEST_F(PeerPool, BlockedAddressesAreNeitherDialledNorAccepted) {
  const std::string filter = dir.path + "filter.txt";
  std::ofstream(filter) << "127.0.0.2-127.0.0.2 0\n";
  ASSERT_EQ(LoadProcessIPFilter(filter), 1);
  task->CopyIPFilter();
  ASSERT_EQ(LoadProcessIPFilter(dir.path), -1) << "a folder is no filter file";
  task->SetSources({{"http://127.0.0.2:9/a", 0}, {"http://127.0.0.1:9/b", 0}, {"ftp://127.0.0.2:9/c", 0}});
  task->HandOutSources();
  ASSERT_EQ(task->Candidates(), 3);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->activePeers.size(), 1u);
  EXPECT_EQ(task->activePeers[0]->PeerId()->addressText, "http://127.0.0.1:9/b");
  EXPECT_FALSE(task->AcceptsAddress(Ip(127, 0, 0, 2)));
  EXPECT_TRUE(task->AcceptsAddress(Ip(127, 0, 0, 1)));
}

// Connects still under way stop the pass at the limit: a listener that never accepts keeps
// the rest of them waiting.
TEST_F(PeerPool, ConnectsInProgressStayWithinTheHalfOpenLimit) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = test::Loopback();
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));
  constexpr int32_t kLimit = 3;
  SetHalfOpenLimit(kLimit);
  task->realPeers = true;
  std::vector<TaskSource> sources;
  for (int i = 0; i < 10; ++i) sources.push_back({"http://127.0.0.1:" + port + "/" + std::to_string(i), 0});
  task->SetSources(sources);
  task->HandOutSources();
  task->ConnectionPasses(100);
  task->ConnectionPasses(101);
  EXPECT_LE(task->Connecting(), kLimit);
  EXPECT_LT(task->activePeers.size(), sources.size()) << "the limit held some sources back";
  SetHalfOpenLimit(kMaxHalfOpen);
  task->Reset(1, 1);
  ::close(listener);
}

TEST_F(PeerPool, ConnectedPeerIsNotDialledTwice) {
  task->SetPeerLimits(49, 10);
  TPeerId* first = task->AddCandidate(Ip(10, 0, 0, 7), 6881, SOURCE_BTNODE, false, 19);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Connected(SOURCE_BTNODE), 1);
  TRef<TPeerId> twin = MakeRef<TPeerId>("btnode://10.0.0.7:6881/other");  // same address and port, known apart
  twin->kind = SOURCE_BTNODE;
  twin->ip = first->ip;
  twin->port = 6881;
  twin->parsed = 1;
  task->candidates.Add(twin, true);
  EXPECT_FALSE(task->IsReady(*twin, true, 101));
  task->ConnectionPasses(101);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 1);
}

TEST_F(PeerPool, FailedStepBacksTheIdentityOffUnlessThePeerFinished) {
  task->SetPeerLimits(49, 10);
  task->SetSources({{"http://127.0.0.1:9/a", 0}, {"http://127.0.0.1:9/b", 0}});
  task->HandOutSources();
  task->ConnectionPasses(100);
  ASSERT_EQ(task->activePeers.size(), 2u);
  auto* failing = static_cast<FakePeer*>(task->activePeers[0].get());
  auto* finished = static_cast<FakePeer*>(task->activePeers[1].get());
  TPeerId* failingId = failing->PeerId();
  TPeerId* finishedId = finished->PeerId();
  failing->stepOk = finished->stepOk = false;
  finished->workState = TPeerObject::kFinished;
  for (const TRef<TPeerObject>& peer : std::vector<TRef<TPeerObject>>(task->activePeers)) {
    if (!peer->DownloadStep()) task->RetirePeer(peer.get());
  }
  EXPECT_TRUE(task->activePeers.empty());
  EXPECT_EQ(task->sparePeers.size(), 2u) << "reset peers are kept for reuse";
  EXPECT_EQ(failingId->failures, 1);
  EXPECT_GT(failingId->waitTicks, 0);
  EXPECT_EQ(failingId->activeConnections, 0);
  EXPECT_EQ(finishedId->failures, 0);
  EXPECT_EQ(task->candidates[0], finishedId) << "the penalised identity ranks behind";

  // Nothing flows, yet the failing source waits out the six seconds its penalty asked for.
  task->ConnectionPasses(101);
  EXPECT_EQ(task->activePeers.size(), 1u);
  for (uint64_t now = 102; now <= 106; ++now) task->ConnectionPasses(now);
  EXPECT_EQ(failingId->waitTicks, 0);
  EXPECT_EQ(task->activePeers.size(), 2u);
  EXPECT_TRUE(task->sparePeers.empty());
  EXPECT_EQ(task->alive, 2) << "the spare peers were reused";
}

// A source allowed two connections whose second dial fails: the count stays with the connection
// that holds the identity.
TEST_F(PeerPool, FailedDialGivesBackOnlyItsOwnConnectionCount) {
  task->SetSources({{"http://127.0.0.1:9/two", 0}});
  task->HandOutSources();
  TPeerId& id = *task->candidates[0];
  id.allowance = 2;
  FakePeer::dialsBeforeFailure = 1;
  task->ConnectionPasses(100);
  FakePeer::dialsBeforeFailure = -1;
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 1);
  EXPECT_EQ(id.activeConnections, 1);
  task->activePeers[0]->Reset();
  EXPECT_EQ(id.activeConnections, 0);
}

// A healthy source with no work left is asked again every pass and stays, however long the
// rest of the download takes: it may be needed to take over from a source that stalls. Asking
// does not count as trying it, which would move it behind untried sources.
TEST_F(PeerPool, SourceWithNothingLeftToFetchIsNeitherChargedNorRetired) {
  task->SetSources({{"http://127.0.0.1:9/a", 0}});
  task->HandOutSources();
  FakePeer::nothingToFetch = true;
  for (uint64_t now = 100; now < 160; ++now) task->ConnectionPasses(now);
  FakePeer::nothingToFetch = false;
  ASSERT_EQ(task->Candidates(), 1);
  EXPECT_EQ(task->candidates[0]->failures, 0);
  EXPECT_EQ(task->candidates[0]->attempts, 0) << "a dial declined for want of work is no attempt";
  EXPECT_EQ(task->candidates[0]->activeConnections, 0);
  task->ConnectionPasses(160);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 1);
}

// A mirror whose connections all stalled dials one more to take their ranges over, though its
// rate asks no step and its allowance is used up; only the task's limit holds it, and a mirror
// without ranges (its work the whole body) has nothing another connection could take.
TEST_F(PeerPool, MirrorWhoseConnectionsAllStalledDialsAnotherToTakeTheWorkOver) {
  struct Case {
    int32_t allowance;
    int32_t taskLimit;
    bool stalled;
    bool ranges;
    int32_t expected;
  };
  const Case cases[] = {
      {4, 12, true, true, 2}, {4, 12, false, true, 1}, {1, 12, true, true, 2}, {4, 1, true, true, 1},
      {4, 12, true, false, 1},
  };
  for (const Case& c : cases) {
    if (&c != cases) {
      TearDown();
      SetUp();
    }
    task->SetSources({{"http://127.0.0.1:9/one", 0}});
    task->HandOutSources();
    task->SetPeerLimits(c.taskLimit, 0);
    task->urlWork = c.ranges;
    TPeerId& mirror = *task->candidates[0];
    mirror.allowance = c.allowance;
    task->ConnectionPasses(100);
    ASSERT_EQ(mirror.activeConnections, 1);
    if (c.stalled) task->activePeers[0]->stats.startTime -= TPieceScheduler::kStallSeconds;
    task->ms += PoolTask::kStepCheckMs;
    task->StepUpUrlSources();
    EXPECT_EQ(mirror.activeConnections, c.expected)
        << "allowance " << c.allowance << " limit " << c.taskLimit << " stalled " << c.stalled << " ranges "
        << c.ranges;
  }
}

// A source that failed for good: one of the task's own lines is back after its long wait with a
// clean record (a short outage must not cost it for a long download); a learned one is gone.
TEST_F(PeerPool, RetiredOwnLineComesBackAfterItsWaitALearnedSourceGoes) {
  task->SetSources({{"http://127.0.0.1:9/own", 0}});
  task->HandOutSources();
  TPeerId redirect("http://127.0.0.1:9/learned");
  redirect.kind = SOURCE_HTTP;
  redirect.parsed = 1;
  ASSERT_TRUE(task->AddSource(redirect));
  TPeerId* own = task->candidates.FindText("http://127.0.0.1:9/own");
  TPeerId* learned = task->candidates.FindText("http://127.0.0.1:9/learned");
  ASSERT_TRUE(own && learned);
  own->failures = 40;
  own->UrlInfo().rangeMismatches = 2;
  task->RetireSource(*own, 100);
  task->RetireSource(*learned, 100);
  EXPECT_EQ(task->candidates.Size(), 1u);
  EXPECT_EQ(task->Candidates(), 0) << "a retired source is no candidate while it waits";

  for (uint64_t now = 101; now < 100 + TWorkWithPeers::kRetiredWait; ++now) task->ConnectionPasses(now);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 0);
  task->ConnectionPasses(100 + TWorkWithPeers::kRetiredWait);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 1);
  EXPECT_EQ(own->failures, 0);
  EXPECT_EQ(own->UrlInfo().rangeMismatches, 0);
  EXPECT_EQ(task->Candidates(), 1);
}

// A server's answer backs its source off by a minute and the failed step adds its own six
// seconds: the source waits the minute, with or without data flowing from others.
TEST_F(PeerPool, PenaltiesThatMeetKeepTheLongestWait) {
  for (const bool dataFlowing : {true, false}) {
    TRef<TPeerId> id = MakeRef<TPeerId>("http://127.0.0.1:9/busy");
    id->kind = SOURCE_HTTP;
    id->parsed = 1;
    task->Penalize(*id, 60);
    task->Penalize(*id, 6);
    uint64_t now = 1000;
    while (!task->IsReady(*id, dataFlowing, now)) ++now;
    EXPECT_EQ(now, 1000u + 59) << dataFlowing;
  }
}

// Passes that start nothing for seconds on end do not cut a back-off short either.
TEST_F(PeerPool, IdlePassesDoNotDialASourceBeforeItsBackOffEnds) {
  task->SetSources({{"http://127.0.0.1:9/busy", 0}});
  task->HandOutSources();
  task->Penalize(*task->candidates[0], 60);
  for (uint64_t now = 100; now < 159; ++now) task->ConnectionPasses(now);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 0);
  task->ConnectionPasses(159);
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 1);
}

TEST_F(PeerPool, WithP2POffNoPeerIsDialledAndOneIsDroppedPerPass) {
  task->SetPeerLimits(49, 10);
  for (uint8_t i = 1; i <= 3; ++i) task->AddCandidate(Ip(10, 0, 0, i), 6881, SOURCE_BTNODE, false, 19);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Connected(SOURCE_BTNODE), 3);
  ProcessSettings().p2pEnabled.store(false);
  task->ConnectionPasses(101);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 2);
  task->ConnectionPasses(102);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 1);
  task->AddCandidate(Ip(10, 0, 0, 9), 6881, SOURCE_BTNODE, false, 19);
  task->ConnectionPasses(103);
  EXPECT_EQ(task->Connected(SOURCE_BTNODE), 0);
}

TEST_F(PeerPool, AddCandidateFindsOrBuildsTheIdentity) {
  TPeerId* peer = task->AddCandidate(Ip(10, 1, 2, 3), 0x1AE1, SOURCE_BTNODE, false, 35);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(peer->priority, 19);
  EXPECT_EQ(peer->parsed, 1);
  const uint8_t compact[6] = {10, 1, 2, 3, 0x1A, 0xE1};
  EXPECT_EQ(std::memcmp(peer->peerIdBytes + 14, compact, 6), 0);
  EXPECT_EQ(std::count(peer->peerIdBytes, peer->peerIdBytes + 14, 0), 14);

  TRef<TPeerId> url = MakeRef<TPeerId>("http://127.0.0.1/f");
  url->kind = SOURCE_HTTP;
  url->ip = Ip(127, 0, 0, 1);
  url->port = 80;
  url->peerIdBytes[3] = 7;
  task->candidates.Add(url, false);
  EXPECT_EQ(task->AddCandidate(url->ip, 80, SOURCE_HTTP, false, 28), url.get());
  EXPECT_EQ(url->priority, 28);
  EXPECT_EQ(url->peerIdBytes[3], 0);
  EXPECT_EQ(task->AddCandidate(Ip(10, 1, 2, 3), 0x1AE1, SOURCE_BTNODE, false, 35), peer);
  EXPECT_EQ(task->Candidates(), 2);
  TPeerId* front = task->AddCandidate(Ip(10, 9, 9, 9), 80, SOURCE_BTNODE, true, 1);
  EXPECT_EQ(task->candidates[0], front);
}

TEST_F(PeerPool, AddSourceRefusesOwnAndLoopbackPeersAndMergesKnownOnes) {
  task->BuildHandshake(kHash);
  task->SetP2sp();
  TPeerId source;
  source.kind = SOURCE_BTNODE;
  source.parsed = 1;
  source.port = 6881;

  source.ip = Ip(127, 0, 0, 1);
  EXPECT_FALSE(task->AddSource(source)) << "loopback peer";
  source.ip = Ip(10, 0, 0, 1);
  std::memcpy(source.peerIdBytes, task->Own() + 48, 20);
  EXPECT_FALSE(task->AddSource(source)) << "our own peer id";
  EXPECT_EQ(task->Candidates(), 0);

  std::memcpy(source.peerIdBytes, "-XX0001-abcdefghijkl", 20);
  source.activeConnections = 3;
  source.failures = 4;
  ASSERT_TRUE(task->AddSource(source));
  ASSERT_EQ(task->Candidates(), 1);
  TPeerId* added = task->candidates[0];
  EXPECT_NE(added, &source);
  EXPECT_EQ(added->priority, 19);
  EXPECT_EQ(std::memcmp(added->peerIdBytes, "\0\1Bw", 4), 0);
  EXPECT_EQ(added->activeConnections, 0);
  EXPECT_EQ(added->failures, 0);

  std::memcpy(source.peerIdBytes, "-YY0002-abcdefghijkl", 20);
  EXPECT_TRUE(task->AddSource(source)) << "known address, port and kind";
  EXPECT_EQ(task->Candidates(), 1);
  EXPECT_EQ(std::memcmp(added->peerIdBytes, "-YY0002-", 8), 0) << "peer id refreshed";

  source.ip = Ip(10, 0, 0, 2);
  std::memcpy(source.peerIdBytes + 16, "UDP", 3);
  ASSERT_TRUE(task->AddSource(source));
  EXPECT_EQ(task->Candidates(), 2);
  const TPeerId* udp = task->candidates.Find(source.ip, 6881, SOURCE_BTNODE);
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(std::memcmp(udp->peerIdBytes, "-YY0", 4), 0) << "a UDP peer keeps its prefix";

  TPeerId redirect("http://127.0.0.1:81/moved");
  redirect.kind = SOURCE_HTTP;
  redirect.priority = 28;
  redirect.parsed = 1;
  redirect.ip = Ip(127, 0, 0, 1);
  redirect.port = 81;
  redirect.UrlInfo().host = "127.0.0.1";
  ASSERT_TRUE(task->AddSource(redirect));
  EXPECT_TRUE(task->AddSource(redirect)) << "same address text: already known";
  EXPECT_EQ(task->Candidates(), 3);
  ASSERT_NE(task->candidates.FindText("http://127.0.0.1:81/moved"), nullptr);
  EXPECT_EQ(task->candidates[0]->UrlInfo().host, "127.0.0.1");

  TPeerId samePlace("http://127.0.0.1:81/elsewhere");
  samePlace.kind = SOURCE_HTTP;
  samePlace.parsed = 1;
  samePlace.ip = redirect.ip;
  samePlace.port = redirect.port;
  ASSERT_TRUE(task->AddSource(samePlace));
  EXPECT_EQ(task->Candidates(), 4) << "another path on the same server is another source";
  EXPECT_NE(task->candidates.FindText("http://127.0.0.1:81/elsewhere"), nullptr);
}

TEST_F(PeerPool, SwarmRoutesHandshakesByInfoHash) {
  uint8_t hello[68] = {19};
  std::memcpy(hello + 1, "BitTorrent protocol", 19);
  std::memcpy(hello + 28, kHash, 20);
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, sizeof hello), nullptr);
  task->JoinSwarm();
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, sizeof hello), nullptr) << "no identity yet";

  task->BuildHandshake(kHash);
  task->JoinSwarm();
  task->JoinSwarm();
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, sizeof hello), task.get());
  EXPECT_TRUE(task->IsOwnHandshake(hello, 48));
  EXPECT_TRUE(task->AcceptsIncoming(hello, 48));
  EXPECT_FALSE(task->IsOwnHandshake(hello, 47)) << "too short";
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, 47), nullptr);

  uint8_t other[68];
  std::memcpy(other, hello, sizeof other);
  other[30] ^= 1;
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(other, sizeof other), nullptr);
  EXPECT_FALSE(task->AcceptsIncoming(other, sizeof other));
  other[30] ^= 1;
  other[5] = 'x';
  EXPECT_FALSE(task->IsOwnHandshake(other, sizeof other)) << "another protocol";

  task->LeaveSwarm();
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, sizeof hello), nullptr);
  task->JoinSwarm();
  task.reset(new PoolTask);
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(hello, sizeof hello), nullptr) << "a destroyed task leaves the swarm";

  const uint8_t zero[20] = {};
  task->BuildHandshake(zero);
  task->JoinSwarm();
  uint8_t zeroHello[48] = {19};
  std::memcpy(zeroHello + 1, "BitTorrent protocol", 19);
  EXPECT_EQ(TWorkWithPeers::FindSwarmTask(zeroHello, sizeof zeroHello), nullptr);
}

// Peers dial the task and name themselves: each gets an identity (the one the task already knows
// by address and peer id, else one for where it came from), and a second connection of a peer
// that is already greeted is refused.
TEST_F(PeerPool, AnIncomingPeerIsIdentifiedAndComesInOnce) {
  task->realPeers = true;
  task->BuildHandshake(kHash);
  TPeerId* lanPeer = task->AddCandidate(test::Loopback(), 7411, SOURCE_BTNODE, true, TWorkWithPeers::kLanPriority);
  ASSERT_NE(lanPeer, nullptr);
  std::memcpy(lanPeer->peerIdBytes, "-XX0001-lan-peer-333", 20);
  QSocket listener;
  const uint16_t port = test::FreePort();
  ASSERT_TRUE(listener.Listen(port, test::Loopback()));

  struct Case {
    const char* peerId;
    bool greeted;
    bool knownIdentity;  // the LAN candidate, else one made for the connection's address
  };
  const Case cases[] = {
      {"-XX0001-first-peer-1", true, false},
      {"-XX0001-first-peer-1", false, false},
      {"-XX0001-lan-peer-333", true, true},
      {"-XX0001-lan-peer-333", false, true},
      {"-XX0001-other-peer-2", true, false},
  };
  std::vector<std::unique_ptr<QSocket>> remotes;
  for (const Case& c : cases) {
    remotes.push_back(std::make_unique<QSocket>());
    ASSERT_TRUE(remotes.back()->Connect(test::Loopback(), port, true));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> accepted = listener.Accept();
    ASSERT_NE(accepted, nullptr);
    uint8_t hello[68] = {19};
    std::memcpy(hello + 1, "BitTorrent protocol", 19);
    std::memcpy(hello + 28, kHash, 20);
    std::memcpy(hello + 48, c.peerId, 20);
    remotes.back()->Send(hello, sizeof hello);
    while (accepted->ReceivedSize() < static_cast<int64_t>(sizeof hello)) {
      accepted->WaitReadable(1);
      ASSERT_GE(accepted->Receive(4096), 0);
    }
    const int remotePort = accepted->RemotePort();
    ASSERT_TRUE(task->AdoptIncoming(std::move(accepted)));
    TPeerObject& peer = *task->activePeers.back();
    EXPECT_EQ(peer.DownloadStep(), c.greeted) << c.peerId;
    EXPECT_EQ(peer.GreetingComplete(), c.greeted) << c.peerId;
    if (!c.greeted) {
      EXPECT_EQ(peer.PeerId(), nullptr);
      continue;
    }
    const TPeerId* id = peer.PeerId();
    ASSERT_NE(id, nullptr) << c.peerId;
    EXPECT_EQ(std::memcmp(id->peerIdBytes, c.peerId, 20), 0);
    EXPECT_EQ(id->ip, test::Loopback());
    EXPECT_EQ(id->kind, SOURCE_BTNODE);
    EXPECT_EQ(id->port, c.knownIdentity ? 7411 : remotePort);
    EXPECT_EQ(id == lanPeer, c.knownIdentity);
    EXPECT_EQ(id->activeConnections, 1);
  }
}

// Another engine on the LAN (of loopback, in this program) asks for the task's swarm.
TEST_F(PeerPool, LanQueryForTheSwarmBecomesACandidateAndIsAnswered) {
  task->BuildHandshake(kHash);
  task->MaintainListener();  // listens, and joins the LAN group
  ASSERT_TRUE(LanDiscovery::Process().Joined());
  QUdpSocket other;
  ASSERT_TRUE(other.Bind(ProcessSettings().lanPort, 0, true));
  ASSERT_TRUE(other.JoinGroup(LanDiscovery::GroupAddress(), ProcessSettings().lanInterface, 1));
  task->DiscoverLanPeers();  // the task's own query goes out first

  LanMessage query;
  query.port = 7411;
  std::memcpy(query.infoHash, kHash, 20);
  std::memcpy(query.peerId, "-other-engine-peer-", 20);
  uint8_t bytes[LanMessage::kSize];
  query.Encode(bytes);
  ASSERT_TRUE(other.SendTo(LanDiscovery::GroupAddress(), ProcessSettings().lanPort, bytes, sizeof bytes));
  TPeerId* found = nullptr;
  for (int i = 0; i < 50 && !found; ++i) {
    platform::SleepMs(20);
    task->DiscoverLanPeers();
    found = task->candidates.Find(test::Loopback(), 7411, SOURCE_BTNODE);
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->priority, TWorkWithPeers::kLanPriority);
  EXPECT_EQ(std::memcmp(found->peerIdBytes, query.peerId, 20), 0);

  // What the other engine hears: the task's query, its own query, and one answer.
  int answers = 0;
  uint8_t heard[64];
  platform::SleepMs(50);
  for (int64_t n; (n = other.ReceiveFrom(heard, sizeof heard, nullptr, nullptr)) > 0;) {
    LanMessage m;
    if (!LanMessage::Decode(heard, static_cast<size_t>(n), &m) || m.kind != LanMessage::kAnswer) continue;
    ++answers;
    EXPECT_EQ(std::memcmp(m.peerId, task->Own() + 48, 20), 0);
    EXPECT_GT(m.port, 0);
  }
  EXPECT_EQ(answers, 1);
}

TEST_F(PeerPool, TrackerTextAndResetState) {
  task->AppendTrackerText("");
  task->AppendTrackerText("a");
  task->AppendTrackerText("");
  task->AppendTrackerText("b");
  EXPECT_EQ(task->TrackerText(), "a\r\nb");
  task->SetPeerLimits(3, 4);
  task->Reset(1, 1);
  EXPECT_EQ(task->MaxSourceConnections(), 49);
  EXPECT_EQ(task->MaxPeerConnections(), 4);
  EXPECT_EQ(task->TrackerText(), "");
}

}  // namespace
}  // namespace bw
