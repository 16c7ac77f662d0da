#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "engine/net/QSocket.h"
#include "engine/sources/TBTPeer.h"
#include "engine/sources/TFtpPeer.h"
#include "engine/sources/TTrackerPeer.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

constexpr int64_t kPieceLength = 65536;

struct Kind {
  const char* name;
  int32_t type;
  std::function<TPeerObject*(IPeerTask*)> make;
};

const Kind kKinds[] = {
    {"bt", SOURCE_BTNODE, [](IPeerTask* t) { return new TBTPeer(t); }},
    {"ftp", SOURCE_FTP, [](IPeerTask* t) { return new TFtpPeer(t); }},
    {"tracker", SOURCE_TRACKER, [](IPeerTask* t) { return new TTrackerPeer(t, TTrackerPeer::kStarted); }},
};

class PeerKinds : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(task.loaded); }

  test::FakePeerTask task{4 * kPieceLength, kPieceLength};
};

// Gives the peer up as the pool does, through Reset and its last Release.
struct Let {
  void operator()(TPeerObject* peer) const {
    peer->Reset();
    peer->Release();
  }
};
using Held = std::unique_ptr<TPeerObject, Let>;

TEST_F(PeerKinds, EachKindCarriesItsTypeAndStartsIdle) {
  for (const Kind& k : kKinds) {
    Held peer(k.make(&task));
    EXPECT_EQ(peer->Kind(), k.type) << k.name;
    EXPECT_EQ(peer->IsBitTorrent(), k.type == SOURCE_BTNODE) << k.name;
    EXPECT_EQ(peer->IsUrlSource(), k.type == SOURCE_FTP) << k.name;
    EXPECT_EQ(peer->linkState, TPeerObject::kNoLink) << k.name;
    EXPECT_EQ(peer->workState, TPeerObject::kIdle) << k.name;
    EXPECT_EQ(peer->stats.currentPiece, -1) << k.name;
    EXPECT_FALSE(peer->IsConnected()) << k.name;
    EXPECT_FALSE(peer->DownloadStep()) << k.name;
  }
}

// Until these protocols are spoken a dial must not happen at all: no socket, no reference kept
// on the identity, no connection counted, whatever the identity looks like.
TEST_F(PeerKinds, ConnectToRefusesWithoutTouchingTheNetworkOrTheIdentity) {
  for (const Kind& k : kKinds) {
    if (k.type == SOURCE_FTP || k.type == SOURCE_TRACKER) continue;  // these dial
    Held peer(k.make(&task));
    TPeerId* id = test::MakeIdentity(k.type, 6881, k.name);
    id->parsed = 1;
    EXPECT_FALSE(peer->ConnectTo(id)) << k.name;
    EXPECT_EQ(peer->Socket(), nullptr) << k.name;
    EXPECT_EQ(peer->PeerId(), nullptr) << k.name;
    EXPECT_EQ(peer->linkState, TPeerObject::kNoLink) << k.name;
    EXPECT_EQ(id->RefCount(), 1) << k.name;
    EXPECT_EQ(id->activeConnections, 0) << k.name;
    peer.reset();
    EXPECT_EQ(id->RefCount(), 1) << k.name;
    id->Release();
  }
}

// A tracker asked over UDP has no link of its own: pending work with a socket object counts.
TEST_F(PeerKinds, TrackerPeerIsConnectedByLinkOrPendingWorkWithASocket) {
  Held held(new TTrackerPeer(&task, TTrackerPeer::kStarted));
  auto& peer = static_cast<TTrackerPeer&>(*held);
  struct Case {
    int32_t linkState;
    uint32_t workState;
    bool connected;
  };
  const Case cases[] = {{0, 0, false}, {0, 1, true}, {1, 0, true}, {2, 6, true}};
  for (const Case& c : cases) {
    peer.linkState = c.linkState;
    peer.workState = c.workState;
    EXPECT_FALSE(peer.IsConnected()) << "no socket object yet: " << c.linkState << "/" << c.workState;
  }
  ASSERT_TRUE(peer.AttachSocket(std::make_unique<QSocket>()));
  for (const Case& c : cases) {
    peer.linkState = c.linkState;
    peer.workState = c.workState;
    EXPECT_EQ(peer.IsConnected(), c.connected) << c.linkState << "/" << c.workState;
  }
}

// A spare tracker peer announces to the next tracker: nothing built for the last one remains,
// while the announce mode it was created with stays.
TEST_F(PeerKinds, TrackerPeerKeepsItsModeAndResetForgetsTheLastAnnounce) {
  const int32_t modes[] = {TTrackerPeer::kCompleted, TTrackerPeer::kStarted, 3};
  for (const int32_t mode : modes) {
    Held held(new TTrackerPeer(&task, mode));
    auto& peer = static_cast<TTrackerPeer&>(*held);
    EXPECT_EQ(peer.announceMode, mode);
    EXPECT_TRUE(peer.announceTarget.empty());
    EXPECT_EQ(peer.lastSendTime, 0u);

    peer.announceTarget = "/announce?info_hash=x&left=100";
    peer.lastSendTime = task.now;
    peer.lastActivity = 1000;
    peer.reply.assign(20, 1);
    peer.packet.connectionId = 0x41727101980;
    peer.packet.left = 100;
    peer.workState = 1;
    peer.Reset();
    EXPECT_EQ(peer.announceMode, mode);
    EXPECT_TRUE(peer.announceTarget.empty());
    EXPECT_EQ(peer.lastSendTime, 0u);
    EXPECT_EQ(peer.lastActivity, 0u);
    EXPECT_TRUE(peer.reply.empty());
    EXPECT_EQ(peer.packet.connectionId, 0u);
    EXPECT_EQ(peer.packet.left, 0u);
    EXPECT_EQ(peer.workState, TPeerObject::kIdle);
  }
}

}  // namespace
}  // namespace bw
