#include "engine/sources/TPeerUpkeep.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/net/NetClock.h"
#include "engine/sources/TBTPeer.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

using test::TestPeer;

class UpkeepFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const TRef<TPeerObject>& peer : task.active) peer->Reset();
    task.active.clear();
    for (TPeerId* id : ids) id->Release();
  }
  // A peer that is not in the active list.
  TestPeer* Loose(int32_t kind, int32_t linkState) {
    auto* peer = new TestPeer(static_cast<uint32_t>(kind), &task);
    ids.push_back(test::MakeIdentity(kind, 1000 + static_cast<int32_t>(ids.size())));
    EXPECT_TRUE(peer->ConnectTo(ids.back()));
    peer->linkState = linkState;
    return peer;
  }
  TestPeer* Add(int32_t kind, int32_t linkState) {
    TestPeer* peer = Loose(kind, linkState);
    task.active.push_back(TRef<TPeerObject>::Share(peer));
    peer->Release();  // the active list holds it
    return peer;
  }

  test::FakePeerTask task{4 * 65536, 65536};
  TPeerUpkeep upkeep;
  std::vector<TPeerId*> ids;
};

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

TEST_F(UpkeepFixture, ComparePeersOrder) {
  using Setup = std::function<void(TestPeer&)>;
  const Setup none = [](TestPeer&) {};
  struct Case {
    const char* name;
    bool seeding;
    int32_t kindA, kindB;
    int32_t linkA, linkB;
    Setup a, b;
    int expected;
  };
  const int32_t G = TPeerObject::kGreeted;
  const int32_t L = TPeerObject::kLinked;
  const int32_t BT = SOURCE_BTNODE;
  const int32_t HTTP = SOURCE_HTTP;
  const Case cases[] = {
      {"greeting complete first", false, BT, BT, L, G, none, none, 1},
      {"two incomplete greetings are equal", false, BT, BT, L, L,
       [](TestPeer& p) { p.counters.windowDelivered = 1 << 20; }, none, 0},
      {"downloading: more delivered first", false, BT, HTTP, G, G,
       [](TestPeer& p) { p.counters.windowDelivered = 10000; },
       [](TestPeer& p) { p.counters.windowDelivered = 20000; }, 1},
      {"downloading: same unit of 2,048 falls through to settled", false, BT, BT, G, G,
       [](TestPeer& p) { p.counters.windowDelivered = 10000; p.stats.settled = true; },
       [](TestPeer& p) { p.counters.windowDelivered = 9000; }, 1},
      {"downloading: less sent first", false, BT, BT, G, G,
       [](TestPeer& p) { p.counters.windowSent = 5000; },
       [](TestPeer& p) { p.counters.windowSent = 1000; }, 1},
      {"downloading: sent within one unit is equal", false, BT, BT, G, G,
       [](TestPeer& p) { p.counters.windowSent = 2047; }, none, 0},
      {"seeding: unsettled first", true, BT, BT, G, G,
       [](TestPeer& p) { p.stats.settled = true; }, none, 1},
      {"seeding: no unread data first", true, BT, BT, G, G, none,
       [](TestPeer& p) { p.stats.hasData = true; }, -1},
      {"seeding: remote with more pieces first", true, BT, BT, G, G,
       [](TestPeer& p) { p.stats.remotePieces = 10; p.counters.windowSent = 1 << 20; },
       [](TestPeer& p) { p.stats.remotePieces = 20; }, 1},
      {"seeding: pieces count only between BitTorrent peers", true, BT, HTTP, G, G,
       [](TestPeer& p) { p.stats.remotePieces = 10; p.counters.windowSent = 8192; },
       [](TestPeer& p) { p.stats.remotePieces = 20; }, -1},
      {"seeding: more sent first", true, BT, BT, G, G,
       [](TestPeer& p) { p.counters.windowSent = 2048; },
       [](TestPeer& p) { p.counters.windowSent = 8192; }, 1},
  };
  for (const Case& c : cases) {
    task.complete = c.seeding;
    TestPeer* a = Loose(c.kindA, c.linkA);
    TestPeer* b = Loose(c.kindB, c.linkB);
    c.a(*a);
    c.b(*b);
    EXPECT_EQ(Sign(TPeerUpkeep::ComparePeers(task, a, b)), c.expected) << c.name;
    EXPECT_EQ(Sign(TPeerUpkeep::ComparePeers(task, b, a)), -c.expected) << c.name;
    a->Release();
    b->Release();
  }
  TestPeer* p = Loose(BT, L);
  EXPECT_LT(TPeerUpkeep::ComparePeers(task, p, nullptr), 0);
  EXPECT_GT(TPeerUpkeep::ComparePeers(task, nullptr, p), 0);
  EXPECT_EQ(TPeerUpkeep::ComparePeers(task, nullptr, nullptr), 0);
  p->Release();
}

TEST_F(UpkeepFixture, EqualWindowUnitsAreRankedByTheAverageReceivingRate) {
  QSocket listener;
  const uint16_t port = test::FreePort();
  ASSERT_TRUE(listener.Listen(port, test::Loopback()));
  TestPeer* slow = Add(SOURCE_BTNODE, TPeerObject::kGreeted);
  TestPeer* fast = Add(SOURCE_BTNODE, TPeerObject::kGreeted);
  std::vector<std::unique_ptr<QSocket>> served;
  for (TestPeer* peer : {slow, fast}) {
    ASSERT_TRUE(peer->Socket()->Connect(test::Loopback(), port));
    ASSERT_TRUE(listener.WaitReadable(5));
    served.push_back(listener.Accept());
    ASSERT_NE(served.back(), nullptr);
  }
  const std::string bytes(8192, 'b');
  served[0]->Send(bytes.data(), 2048);
  served[1]->Send(bytes.data(), 8192);
  for (TestPeer* peer : {slow, fast}) {
    const int64_t want = peer == slow ? 2048 : 8192;
    for (int i = 0; i < 50 && peer->Socket()->ReceivedSize() < want; ++i) {
      peer->Socket()->WaitReadable(1);
      ASSERT_TRUE(peer->DownloadStep());
    }
    ASSERT_EQ(peer->Socket()->ReceivedSize(), want);
  }
  task.now = NetClockNow();
  slow->counters.windowDelivered = 10000;
  fast->counters.windowDelivered = 9000;
  EXPECT_GT(TPeerUpkeep::ComparePeers(task, slow, fast), 0);
  ASSERT_TRUE(upkeep.Tick(task));
  EXPECT_EQ(task.active.front(), fast);
}

TEST_F(UpkeepFixture, RateWindowClosesEveryThreeSeconds) {
  TestPeer* low = Add(SOURCE_BTNODE, TPeerObject::kGreeted);
  TestPeer* high = Add(SOURCE_HTTP, TPeerObject::kGreeted);
  low->counters.windowDelivered = 6000;
  high->counters.windowDelivered = 30000;
  high->counters.windowSent = 3000;
  low->stats.chokeChanged = true;
  ASSERT_TRUE(upkeep.Tick(task));
  ASSERT_EQ(task.active.size(), 2u);
  EXPECT_EQ(task.active[0], high);
  EXPECT_EQ(task.active[1], low);
  EXPECT_EQ(high->counters.downloadRate, 10000);
  EXPECT_EQ(high->counters.uploadRate, 1000);
  EXPECT_EQ(low->counters.downloadRate, 2000);
  EXPECT_EQ(task.downRate, 12000);
  EXPECT_EQ(task.upRate, 1000);
  for (TestPeer* p : {low, high}) {
    EXPECT_EQ(p->counters.windowDelivered, 0);
    EXPECT_EQ(p->counters.windowSent, 0);
    EXPECT_TRUE(p->stats.settled);
    EXPECT_FALSE(p->stats.chokeChanged);
  }
  task.now += 2;
  EXPECT_FALSE(upkeep.Tick(task));
  task.now += 1;
  EXPECT_TRUE(upkeep.Tick(task));
  EXPECT_EQ(high->counters.downloadRate, 0);
}

// With maxConnections 52, keep is 46.
TEST_F(UpkeepFixture, PruningDropsTheLeastValuableGreetedPeerBeyondKeep) {
  task.complete = true;  // every seed may go
  for (int i = 0; i < 46; ++i) Add(SOURCE_BTNODE, TPeerObject::kGreeted)->counters.windowSent = (i + 1) * 4096;
  ASSERT_TRUE(upkeep.Tick(task));
  EXPECT_EQ(task.active.size(), 46u);
  EXPECT_TRUE(task.penalties.empty());

  for (const TRef<TPeerObject>& p : task.active) p->counters.windowSent = 1 << 20;
  TestPeer* least = Add(SOURCE_BTNODE, TPeerObject::kGreeted);
  least->stats.settled = true;  // a newcomer would rank first while seeding
  TPeerId* leastId = least->PeerId();
  task.now += 3;
  ASSERT_TRUE(upkeep.Tick(task));
  EXPECT_EQ(task.active.size(), 46u);
  ASSERT_EQ(task.penalties.size(), 1u);
  EXPECT_EQ(task.penalties[0].first, leastId);
  EXPECT_EQ(task.penalties[0].second, 6);
  EXPECT_EQ(leastId->RefCount(), 1);  // the peer let its identity go
  EXPECT_EQ(std::find(task.active.begin(), task.active.end(), least), task.active.end());
}

TEST_F(UpkeepFixture, PruningPassesOverUrlSources) {
  task.complete = true;
  for (int i = 0; i < 50; ++i) Add(SOURCE_HTTP, TPeerObject::kGreeted);
  ASSERT_TRUE(upkeep.Tick(task));
  EXPECT_EQ(task.active.size(), 50u);
}

TEST_F(UpkeepFixture, IdlePeersBeyondTheIdleLimitGoWhenTheyBringNothing) {
  for (const int64_t window : {int64_t{3000}, int64_t{0}}) {
    for (int i = 0; i < 47; ++i) Add(SOURCE_BTNODE, TPeerObject::kGreeted);
    for (int i = 0; i < 13; ++i) Add(SOURCE_BTNODE, TPeerObject::kLinked);
    TPeerObject* last = task.active.back().get();
    last->counters.windowDelivered = window;
    task.now += 3;
    ASSERT_TRUE(upkeep.Tick(task));
    // Indices 47..59 hold the dialling peers; only index 59 is past the idle limit of 58.
    EXPECT_EQ(task.active.size(), window ? 60u : 59u) << window;
    EXPECT_EQ(task.penalties.size(), window ? 0u : 1u) << window;
    for (const TRef<TPeerObject>& peer : task.active) peer->Reset();
    task.active.clear();
    task.penalties.clear();
  }
}

// BitTorrent peers greeted over real loopback connections, the remote ends held by the test.
class SwarmUpkeepFixture : public UpkeepFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(listener.Listen(port, test::Loopback())); }

  TBTPeer* AddGreeted() {
    auto* peer = new TBTPeer(&task);
    ids.push_back(test::MakeIdentity(SOURCE_BTNODE, 2000 + static_cast<int32_t>(ids.size())));
    EXPECT_TRUE(peer->TPeerObject::ConnectTo(ids.back()));
    EXPECT_TRUE(peer->Socket()->Connect(test::Loopback(), port));
    EXPECT_TRUE(listener.WaitReadable(5));
    remotes.push_back(listener.Accept());
    EXPECT_TRUE(peer->Socket()->IsConnected());
    peer->linkState = TPeerObject::kGreeted;
    peer->handshakeSent = true;
    peer->amChoking = false;
    task.active.push_back(TRef<TPeerObject>::Share(peer));
    peer->Release();
    return peer;
  }

  // Runs the upkeep `count` times, each after its period.
  void Run(int count) {
    for (int i = 0; i < count; ++i) {
      task.now += TPeerUpkeep::kPeriod;
      ASSERT_TRUE(upkeep.Tick(task));
    }
  }

  // What the remote end of peer `index` has received so far.
  std::string Received(size_t index) {
    QSocket& remote = *remotes[index];
    remote.WaitReadable(1);
    const int64_t n = remote.Receive(256);
    std::string got(reinterpret_cast<const char*>(remote.ReceivedData()), static_cast<size_t>(std::max<int64_t>(n, 0)));
    remote.ConsumeReceived(-1);
    return got;
  }

  QSocket listener;
  const uint16_t port = test::FreePort();
  std::vector<std::unique_ptr<QSocket>> remotes;
};

TEST_F(SwarmUpkeepFixture, SeedsAreCountedAndLeftOnceBothSidesAreComplete) {
  TBTPeer* seed = AddGreeted();
  TBTPeer* leecher = AddGreeted();
  seed->haveCount = 4;  // every piece of the fixture's map
  leecher->haveCount = 2;
  seed->statsRecord.haveMessages = 3;
  leecher->statsRecord.haveMessages = 2;
  Run(1);
  EXPECT_EQ(upkeep.HaveMessages(), 5);
  EXPECT_EQ(seed->statsRecord.haveMessages, 0);
  EXPECT_EQ(upkeep.Seeds(), 0) << "seeds are counted only while the task is complete";

  task.complete = true;
  Run(1);
  EXPECT_EQ(upkeep.Seeds(), 1);
  EXPECT_TRUE(seed->IsConnected()) << "a seed stays its first 15 seconds";
  Run(6);
  EXPECT_FALSE(seed->IsConnected());
  EXPECT_TRUE(leecher->IsConnected());
}

TEST_F(SwarmUpkeepFixture, AChokedPeerWithinTheUnchokeLimitIsUnchoked) {
  TBTPeer* peer = AddGreeted();
  peer->Choke();
  EXPECT_EQ(Received(0), std::string("\0\0\0\1\0", 5));
  Run(1);
  EXPECT_FALSE(peer->amChoking);
  EXPECT_EQ(Received(0), std::string("\0\0\0\1\1", 5));
  EXPECT_GE(TPeerUpkeep::UnchokeLimit(task), 80);
}

TEST_F(SwarmUpkeepFixture, APeerThatMovesNoByteIsChokedThenClosed) {
  TBTPeer* silent = AddGreeted();
  TBTPeer* talking = AddGreeted();
  const std::string keepAlive(4, '\0');
  // The stall check runs every fourth upkeep: the fourth idle check chokes; the choke message
  // itself is traffic, so two more idle checks pass before the close.
  for (int check = 1; check <= 7; ++check) {
    remotes[1]->Send(keepAlive.data(), 4);
    talking->Socket()->WaitReadable(1);
    ASSERT_TRUE(talking->DownloadStep());
    Run(TPeerUpkeep::kStallEvery);
    EXPECT_EQ(silent->IsConnected(), check < 7) << check;
    if (silent->IsConnected()) {
      EXPECT_EQ(silent->amChoking, check >= 4) << check;
    }
    EXPECT_FALSE(talking->amChoking) << check;
  }
  EXPECT_TRUE(talking->IsConnected());
}

}  // namespace
}  // namespace bw
