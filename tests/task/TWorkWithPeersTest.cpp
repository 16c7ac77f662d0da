#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/task/EngineSettings.h"
#include "engine/sources/TPeerObject.h"
#include "engine/task/TWorkThread.h"
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
  bool stepOk = true;

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
  using TWorkWithPeers::RetirePeer;
  using TWorkWithPeers::ReplaceUrlSources;
  using TWorkWithPeers::HandOutSources;
  using TWorkWithPeers::IsReady;
  using TWorkWithPeers::JoinSwarm;
  using TWorkWithPeers::LeaveSwarm;
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
  int32_t Connected(int32_t kind) {
    int32_t n = 0;
    for (TPeerObject* p : activePeers) n += p->Kind() == kind && p->IsConnected();
    return n;
  }

  int buildable = SOURCE_HTTP | SOURCE_BTNODE | SOURCE_TRACKER;
  int alive = 0;
  bool realPeers = false;  // the task's own peer classes instead of fakes

 protected:
  TPeerObject* NewPeerObject(int32_t kind) override {
    if (realPeers) return TWorkThread::NewPeerObject(kind);
    return (buildable & kind) ? new FakePeer(static_cast<uint32_t>(kind), &alive) : nullptr;
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
  auto* id = new TPeerId("http://127.0.0.1/x");
  id->lookupFailed = 1;  // a redirect target that later failed to resolve
  task->candidates.Add(id, false);
  task->PruneCandidates();
  EXPECT_EQ(task->Candidates(), 0);
  EXPECT_EQ(task->WorkingStatus(), kTaskStatusHostUnresolved);
}

TEST_F(PeerPool, MirrorsJoinAndLeaveThePool) {
  task->AddMirrors("http://127.0.0.1:8/m1\nhttp://127.0.0.1:8/m2", "h1\nh2");
  task->HandOutSources();
  EXPECT_EQ(task->Candidates(), 2);
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
  for (TPeerObject* p : task->activePeers) EXPECT_EQ(p->PeerId()->activeConnections, 1);
}

TEST_F(PeerPool, SlowUrlConnectionsMakeWayForUntriedSources) {
  task->SetSources({{"http://127.0.0.1:9/1", 0}, {"http://127.0.0.1:9/2", 0}, {"http://127.0.0.1:9/3", 0},
                    {"http://127.0.0.1:9/4", 0}, {"http://127.0.0.1:9/5", 0}});
  task->HandOutSources();
  task->SetPeerLimits(3, 0);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Connected(SOURCE_HTTP), 3);
  TPeerObject* fast = task->activePeers.front();
  fast->counters.downloadRate = 4 * TWorkWithPeers::kSlowSourceRate;
  std::vector<std::string> slow;
  for (TPeerObject* p : task->activePeers) {
    if (p != fast) slow.push_back(p->PeerId()->addressText);
  }
  task->ReplaceUrlSources();
  EXPECT_EQ(task->Connected(SOURCE_HTTP), 3);
  EXPECT_NE(std::find(task->activePeers.begin(), task->activePeers.end(), fast), task->activePeers.end());
  for (TPeerObject* p : task->activePeers) {
    EXPECT_EQ(std::find(slow.begin(), slow.end(), p->PeerId()->addressText), slow.end()) << "a slow source again";
  }
  for (const std::string& text : slow) EXPECT_GT(task->candidates.FindText(text)->waitTicks, 0);
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
// never dialled, hold no peer object, and the FTP one is retired once its failures run out.
TEST_F(PeerPool, SourcesOfUnspokenProtocolsNeitherDialNorHarmTheHttpSource) {
  test::LoopbackServer http(test::Echo);
  test::LoopbackServer others(test::Echo);
  const std::string port = std::to_string(others.Port());
  task->realPeers = true;
  task->SetPeerLimits(49, 10);
  task->SetSources({{"ftp://127.0.0.1:" + port + "/f", 0},
                    {"http://127.0.0.1:" + std::to_string(http.Port()) + "/f", 0},
                    {"tracker://http://127.0.0.1:" + port + "/announce", 0}});
  task->HandOutSources();
  TPeerId* node = task->AddCandidate(test::Loopback(), others.Port(), SOURCE_BTNODE, false, 19);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(task->Candidates(), 4);

  for (uint64_t now = 100; now < 160; ++now) task->ConnectionPasses(now);

  ASSERT_EQ(task->activePeers.size(), 1u);
  EXPECT_EQ(task->activePeers[0]->Kind(), SOURCE_HTTP);
  EXPECT_TRUE(task->activePeers[0]->IsConnected());
  EXPECT_TRUE(test::WaitFor([&http] { return http.Connections() == 1; }, 5));
  EXPECT_TRUE(task->sparePeers.empty()) << "a refused peer is released, not kept";
  std::vector<int32_t> kinds;
  for (TPeerId* id : task->candidates.Items()) {
    kinds.push_back(id->kind);
    if (id->kind != SOURCE_HTTP) {
      EXPECT_EQ(id->activeConnections, 0) << id->addressText;
    }
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds, (std::vector<int32_t>{SOURCE_BTNODE, SOURCE_HTTP, SOURCE_TRACKER}))
      << "the FTP source failed every pass and was retired";
  EXPECT_EQ(others.Connections(), 0);
}

TEST_F(PeerPool, ConnectedPeerIsNotDialledTwice) {
  task->SetPeerLimits(49, 10);
  TPeerId* first = task->AddCandidate(Ip(10, 0, 0, 7), 6881, SOURCE_BTNODE, false, 19);
  task->ConnectionPasses(100);
  ASSERT_EQ(task->Connected(SOURCE_BTNODE), 1);
  auto* twin = new TPeerId("btnode://10.0.0.7:6881/other");  // same address and port, known apart
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
  auto* failing = static_cast<FakePeer*>(task->activePeers[0]);
  auto* finished = static_cast<FakePeer*>(task->activePeers[1]);
  TPeerId* failingId = failing->PeerId();
  TPeerId* finishedId = finished->PeerId();
  failing->stepOk = finished->stepOk = false;
  finished->workState = TPeerObject::kFinished;
  for (TPeerObject* peer : std::vector<TPeerObject*>(task->activePeers)) {
    if (!peer->DownloadStep()) task->RetirePeer(peer);
  }
  EXPECT_TRUE(task->activePeers.empty());
  EXPECT_EQ(task->sparePeers.size(), 2u) << "reset peers are kept for reuse";
  EXPECT_EQ(failingId->failures, 1);
  EXPECT_GT(failingId->waitTicks, 0);
  EXPECT_EQ(failingId->activeConnections, 0);
  EXPECT_EQ(finishedId->failures, 0);
  EXPECT_EQ(task->candidates[0], finishedId) << "the penalised identity ranks behind";

  task->ConnectionPasses(101);
  EXPECT_EQ(failingId->waitTicks, 0) << "one failure and no data flowing: the back-off is cut short";
  EXPECT_EQ(task->activePeers.size(), 2u);
  EXPECT_TRUE(task->sparePeers.empty());
  EXPECT_EQ(task->alive, 2) << "the spare peers were reused";
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

  auto* url = new TPeerId("http://127.0.0.1/f");
  url->kind = SOURCE_HTTP;
  url->ip = Ip(127, 0, 0, 1);
  url->port = 80;
  url->peerIdBytes[3] = 7;
  task->candidates.Add(url, false);
  EXPECT_EQ(task->AddCandidate(url->ip, 80, SOURCE_HTTP, false, 28), url);
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
  redirect.UrlInfo().host = "127.0.0.1";
  ASSERT_TRUE(task->AddSource(redirect));
  EXPECT_TRUE(task->AddSource(redirect)) << "same address text: already known";
  EXPECT_EQ(task->Candidates(), 3);
  ASSERT_NE(task->candidates.FindText("http://127.0.0.1:81/moved"), nullptr);
  EXPECT_EQ(task->candidates[0]->UrlInfo().host, "127.0.0.1");
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
