#include "engine/sources/TPeerObject.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

using test::TestPeer;

constexpr int32_t kBlock = kBlockSize;
constexpr int64_t kPieceLength = 65536;

std::vector<int64_t> Blocks(const std::vector<TBlockRequest>& requests) {
  std::vector<int64_t> out;
  for (const TBlockRequest& r : requests) out.push_back(r.block);
  return out;
}

// A task of 16 pieces (the last one 40,000 bytes) and one peer of the kind the test picks.
class PeerFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(task.loaded); }
  void TearDown() override {
    for (TestPeer* peer : peers) {
      peer->Reset();
      peer->Release();
    }
    for (TPeerId* id : ids) id->Release();
  }
  TestPeer* Peer(uint32_t kind, bool connect = true) {
    auto* peer = new TestPeer(kind, &task);
    peers.push_back(peer);
    if (connect) {
      ids.push_back(test::MakeIdentity(static_cast<int32_t>(kind), 8080));
      EXPECT_TRUE(peer->ConnectTo(ids.back()));
    }
    return peer;
  }
  bool Deliver(TPeerObject* peer, int64_t block, int32_t length = kBlock) {
    return peer->DeliverBlock(block, length, task.Data(block));
  }

  test::FakePeerTask task{15 * kPieceLength + 40000, kPieceLength};
  std::vector<TestPeer*> peers;
  std::vector<TPeerId*> ids;
};

// ---- connection bookkeeping ----

TEST_F(PeerFixture, ConnectToRefusesBadIdentitiesAndTheOneAlreadyHeld) {
  TestPeer* peer = Peer(SOURCE_HTTP, false);
  struct Case {
    const char* name;
    int32_t port;
    uint32_t ip;
  };
  const Case cases[] = {{"port 0", 0, 0x0100007F},
                        {"port above 65535", 65536, 0x0100007F},
                        {"address 0", 80, 0},
                        {"address all ones", 80, 0xFFFFFFFF}};
  for (const Case& c : cases) {
    TPeerId* id = test::MakeIdentity(SOURCE_HTTP, c.port);
    id->ip = c.ip;
    EXPECT_FALSE(peer->ConnectTo(id)) << c.name;
    EXPECT_EQ(id->RefCount(), 1) << c.name;
    EXPECT_EQ(id->activeConnections, 0) << c.name;
    id->Release();
  }
  EXPECT_FALSE(peer->ConnectTo(nullptr));
  EXPECT_EQ(peer->linkState, TPeerObject::kNoLink);

  TPeerId* id = test::MakeIdentity(SOURCE_HTTP, 80);
  ids.push_back(id);
  ASSERT_TRUE(peer->ConnectTo(id));
  EXPECT_EQ(peer->linkState, TPeerObject::kLinked);
  EXPECT_EQ(id->RefCount(), 2);
  EXPECT_EQ(id->activeConnections, 1) << "counted while the peer holds it";
  EXPECT_EQ(peer->stats.startTime, task.now);
  QSocket* socket = peer->Socket();
  ASSERT_NE(socket, nullptr);
  EXPECT_FALSE(peer->ConnectTo(id));
  EXPECT_EQ(id->RefCount(), 2);
  EXPECT_EQ(id->activeConnections, 1);
  EXPECT_EQ(peer->Socket(), socket);

  peer->Reset();
  EXPECT_EQ(id->RefCount(), 1);
  EXPECT_EQ(id->activeConnections, 0);
  EXPECT_EQ(peer->PeerId(), nullptr);
  EXPECT_EQ(peer->linkState, TPeerObject::kNoLink);
  EXPECT_FALSE(peer->IsConnected());
  EXPECT_EQ(peer->Socket(), socket);  // kept for the next connection
  ASSERT_TRUE(peer->ConnectTo(id));
  EXPECT_EQ(peer->Socket(), socket);
}

TEST_F(PeerFixture, ConnectToAnotherIdentityLetsTheFirstGo) {
  TestPeer* peer = Peer(SOURCE_BTNODE);
  TPeerId* first = ids.back();
  EXPECT_EQ(first->activeConnections, 1);
  TPeerId* second = test::MakeIdentity(SOURCE_BTNODE, 6881);
  ids.push_back(second);
  ASSERT_TRUE(peer->ConnectTo(second));
  EXPECT_EQ(first->RefCount(), 1);
  EXPECT_EQ(first->activeConnections, 0);
  EXPECT_EQ(second->activeConnections, 1);
  EXPECT_EQ(peer->PeerId(), second);
}

TEST_F(PeerFixture, DialledAndAcceptedPeersTalkOverLoopback) {
  QSocket listener;
  const uint16_t port = test::FreePort();
  ASSERT_TRUE(listener.Listen(port, test::Loopback()));

  TestPeer* dialler = Peer(SOURCE_BTNODE, false);
  ids.push_back(test::MakeIdentity(SOURCE_BTNODE, port));
  ASSERT_TRUE(dialler->ConnectTo(ids.back()));
  ASSERT_TRUE(dialler->Socket()->Connect(ids.back()->ip, port));
  ASSERT_TRUE(listener.WaitReadable(5));
  std::unique_ptr<QSocket> served = listener.Accept();
  ASSERT_NE(served, nullptr);

  TestPeer* accepted = Peer(SOURCE_BTNODE, false);
  ASSERT_TRUE(accepted->AttachSocket(std::move(served)));
  EXPECT_TRUE(accepted->stats.incoming);
  EXPECT_FALSE(dialler->stats.incoming);
  EXPECT_EQ(accepted->linkState, TPeerObject::kLinked);

  ASSERT_TRUE(dialler->Socket()->IsConnected() || dialler->Socket()->WaitWritable(5));
  dialler->outgoing = "hello";
  ASSERT_TRUE(dialler->DownloadStep());
  EXPECT_EQ(dialler->counters.stepSent, 5);
  EXPECT_EQ(dialler->counters.windowSent, 5);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (accepted->Socket()->ReceivedSize() < 5 && std::chrono::steady_clock::now() < deadline) {
    accepted->Socket()->WaitReadable(1);
    ASSERT_TRUE(accepted->DownloadStep());
  }
  EXPECT_EQ(accepted->Socket()->ReceivedSize(), 5);
  EXPECT_EQ(accepted->counters.stepReceived, 5);
  EXPECT_TRUE(accepted->stats.hasData);  // read but not consumed by the protocol
  EXPECT_GT(task.cyclesRequested, 0);
  EXPECT_EQ(accepted->AverageReceiveRate(accepted->Socket()->ConnectedAt() + 5), 1);
  EXPECT_EQ(dialler->AverageSendRate(dialler->Socket()->ConnectedAt()), 5);

  // The far end goes away: the next step fails and the pool would reset the peer.
  accepted->Reset();
  EXPECT_FALSE(accepted->IsConnected());
  bool failed = false;
  for (int i = 0; i < 50 && !failed; ++i) {
    dialler->Socket()->WaitReadable(1);
    failed = !dialler->DownloadStep();
  }
  EXPECT_TRUE(failed);
}

TEST_F(PeerFixture, AttachWithoutASocketLeavesThePeerUnconnected) {
  TestPeer* peer = Peer(SOURCE_BTNODE);
  TPeerId* id = ids.back();
  EXPECT_FALSE(peer->AttachSocket(nullptr));
  EXPECT_EQ(peer->linkState, TPeerObject::kNoLink);
  EXPECT_EQ(peer->PeerId(), nullptr);  // the earlier connection was reset first
  EXPECT_EQ(id->RefCount(), 1);
  EXPECT_FALSE(peer->DownloadStep());
}

TEST_F(PeerFixture, TheLastReleaseDeletesThePeerWhileThePieceMapStillNamesItsSource) {
  int destroyed = 0;
  struct Watched : TestPeer {
    Watched(IPeerTask* t, int* d) : TestPeer(SOURCE_HTTP, t), destroyed(d) {}
    ~Watched() override { ++*destroyed; }
    int* destroyed;
  };
  auto* peer = new Watched(&task, &destroyed);
  TPeerId* id = test::MakeIdentity(SOURCE_HTTP, 80);
  ASSERT_TRUE(peer->ConnectTo(id));
  peer->Ask(0, kBlock);
  ASSERT_TRUE(Deliver(peer, 0));
  EXPECT_EQ(peer->RefCount(), 1);
  peer->Reset();
  peer->Release();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(id->RefCount(), 2);  // the piece map names it as the source of piece 0
  task.map.ResetPiece(0);
  EXPECT_EQ(id->RefCount(), 1);
  id->Release();
}

// ---- range walk and request planning ----

TEST_F(PeerFixture, UrlSourceWalksItsRangeAndQueuesWholePieces) {
  task.initialRanges = {{0, 7}, {8, 15}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(task.initialRangeCalls, 1);
  ASSERT_NE(peer->Range(), nullptr);
  EXPECT_EQ(peer->Range()->first, 0);
  EXPECT_EQ(peer->Range()->worker, peer);
  EXPECT_EQ(peer->stats.rangesTaken, 1);
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{0, 1, 2, 3}));

  // Four outstanding against a depth of 2: nothing more until the rate allows it.
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(peer->Requests().size(), 4u);

  // A piece another source already completed is passed over.
  task.map.SetPieceState(1, true);
  peer->counters.downloadRate = 1 << 20;
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{0, 1, 2, 3, 8, 9, 10, 11}));
  EXPECT_EQ(peer->stats.currentPiece, 2);
  EXPECT_EQ(peer->Range()->next, 3);
}

TEST_F(PeerFixture, TheShortLastPieceIsCutIntoBlocks) {
  task.initialRanges = {{15, 15}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  ASSERT_EQ(peer->Requests().size(), 3u);
  const int64_t first = 15 * kPieceLength / kBlock;
  const int32_t lengths[] = {16384, 16384, 7232};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(peer->Requests()[i].block, first + static_cast<int64_t>(i));
    EXPECT_EQ(peer->Requests()[i].length, lengths[i]);
  }
}

TEST_F(PeerFixture, PlanningStartsAtTheFirstMissingBlock) {
  task.initialRanges = {{3, 3}};
  TestPeer* helper = Peer(SOURCE_HTTP);
  helper->Ask(12, kBlock);
  helper->Ask(13, kBlock);
  ASSERT_TRUE(Deliver(helper, 12));
  ASSERT_TRUE(Deliver(helper, 13));
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{14, 15}));
}

TEST_F(PeerFixture, AWalkedRangeWithOpenPiecesIsLeftForRescanAndAFreeRunIsClaimed) {
  task.initialRanges = {{0, 1}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  peer->counters.downloadRate = 1 << 20;
  ASSERT_TRUE(peer->PlanRequests());
  ASSERT_TRUE(peer->PlanRequests());
  TPieceRange* walked = peer->Range();
  EXPECT_EQ(peer->Requests().size(), 8u);

  // Pieces 0 and 1 are asked for but not here: the range stays for a second pass, and the
  // first run nobody claimed (2..15) becomes this source's new range.
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_TRUE(walked->exhausted);
  EXPECT_TRUE(walked->rescan);
  EXPECT_EQ(walked->worker, nullptr);
  ASSERT_NE(peer->Range(), nullptr);
  EXPECT_EQ(peer->Range()->first, 2);
  EXPECT_EQ(peer->Range()->last, 15);
  EXPECT_EQ(peer->Range()->Owner(), peer->PeerId());
  EXPECT_EQ(task.ranges.size(), 2u);
  EXPECT_EQ(peer->Requests().back().block, 11);
}

TEST_F(PeerFixture, AFullyDeliveredRangeIsRemoved) {
  task.initialRanges = {{0, 0}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  for (int64_t b = 0; b < 4; ++b) ASSERT_TRUE(Deliver(peer, b));
  ASSERT_TRUE(task.map.Piece(0).Verified);
  task.map.FlushPieces();
  ASSERT_TRUE(task.map.IsPieceComplete(0));
  ASSERT_TRUE(peer->PlanRequests());
  ASSERT_EQ(task.ranges.size(), 1u);  // the walked range is gone, a new run is claimed
  EXPECT_EQ(task.ranges[0]->first, 1);
  EXPECT_EQ(peer->Range(), task.ranges[0].get());
}

TEST_F(PeerFixture, NothingIsPlannedBeforeTheTaskCanSchedule) {
  task.canSchedule = false;
  task.initialRanges = {{0, 15}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_TRUE(peer->Requests().empty());
  EXPECT_EQ(task.initialRangeCalls, 0);
}

TEST_F(PeerFixture, UrlSourceFollowsAPositionJumpOfSevenPieces) {
  task.initialRanges = {{0, 7}, {8, 15}};
  task.position = 1;
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  TPieceRange* old = peer->Range();
  ASSERT_EQ(peer->stats.currentPiece, 0);

  task.position = 8;
  peer->counters.downloadRate = 1 << 20;
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(Blocks(task.returned), (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(old->worker, nullptr);
  ASSERT_NE(peer->Range(), nullptr);
  EXPECT_EQ(peer->Range()->first, 8);
  EXPECT_EQ(peer->Range()->last, 15);
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{32, 33, 34, 35}));
  EXPECT_EQ(peer->lastPosition, 8);
  EXPECT_EQ(task.ranges.size(), 2u);  // the emptied unassigned range [8, 7] is gone

  // A position on a piece that is done and that no range holds is not followed.
  task.map.SetPieceState(1, true);
  task.ranges[0]->last = 0;
  task.position = 1;
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(peer->Range()->first, 8);
  EXPECT_EQ(peer->stats.currentPiece, 9);
  EXPECT_EQ(peer->lastPosition, 1);

  // A move of 6 pieces is not followed.
  task.position = 7;
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(peer->Range()->first, 8);
  EXPECT_EQ(peer->stats.currentPiece, 10);
}

TEST_F(PeerFixture, PositionInsideAWorkedRangeSplitsIt) {
  task.initialRanges = {{0, 11}, {12, 15}};
  TestPeer* first = Peer(SOURCE_HTTP);
  ASSERT_TRUE(first->PlanRequests());
  TestPeer* second = Peer(SOURCE_HTTP);
  ASSERT_TRUE(second->PlanRequests());
  ASSERT_EQ(second->stats.currentPiece, 12);

  task.position = 6;
  second->counters.downloadRate = 1 << 20;
  ASSERT_TRUE(second->PlanRequests());
  EXPECT_EQ(first->Range()->last, 5);
  EXPECT_EQ(second->Range()->first, 6);
  EXPECT_EQ(second->Range()->last, 11);
  EXPECT_EQ(second->stats.currentPiece, 6);
  EXPECT_EQ(Blocks(task.returned), (std::vector<int64_t>{48, 49, 50, 51}));
  EXPECT_EQ(task.ranges.size(), 3u);  // [12, 15] waits for another source
}

TEST_F(PeerFixture, BitTorrentDepthFollowsTheRateAndTheRestGoesToTheEndGameList) {
  task.initialRanges = {{0, 15}};
  task.endGame = true;
  TestPeer* peer = Peer(SOURCE_BTNODE);
  peer->counters.downloadRate = 40000;  // depth 2 + 80,000 / 16,384 = 6
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(peer->PlanRequests());
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
  std::vector<int64_t> shared = Blocks(task.endGameList);
  std::sort(shared.begin(), shared.end());
  EXPECT_EQ(shared.front(), 6);
  EXPECT_EQ(std::adjacent_find(shared.begin(), shared.end()), shared.end());  // no doubles

  task.endGame = false;
  task.endGameList.clear();
  ASSERT_TRUE(peer->PlanRequests());
  EXPECT_TRUE(task.endGameList.empty());
  EXPECT_EQ(peer->Requests().size(), 6u);
}

TEST_F(PeerFixture, ResetGivesRequestsBackAndFreesTheRangeForOthers) {
  task.initialRanges = {{0, 15}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  TPieceRange* range = peer->Range();
  peer->Reset();
  EXPECT_EQ(Blocks(task.returned), (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_TRUE(peer->Requests().empty());
  EXPECT_EQ(range->worker, nullptr);
  EXPECT_EQ(peer->Range(), nullptr);
  EXPECT_EQ(peer->stats.currentPiece, -1);

  // The next source steps back onto the piece whose requests were given back.
  TestPeer* next = Peer(SOURCE_HTTP);
  ASSERT_TRUE(next->PlanRequests());
  EXPECT_EQ(next->Range(), range);
  EXPECT_EQ(next->stats.currentPiece, 0);
}

TEST_F(PeerFixture, AnAbandonedRangeIsFreedOnRelease) {
  task.initialRanges = {{0, 15}};
  TestPeer* peer = Peer(SOURCE_HTTP);
  ASSERT_TRUE(peer->PlanRequests());
  peer->Range()->abandoned = true;
  peer->ReleaseRange();
  EXPECT_TRUE(task.ranges.empty());
  EXPECT_EQ(peer->Range(), nullptr);
}

// ---- delivering blocks ----

TEST_F(PeerFixture, DeliverBlockTakesOnlyWhatWasAskedFor) {
  TestPeer* peer = Peer(SOURCE_HTTP);
  for (int64_t b = 0; b < 4; ++b) peer->Ask(b, kBlock);
  task.endGameList.push_back({40, kBlock, 0, false});
  task.endGameList.push_back({int64_t{1} << 40, kBlock, 0, false});
  const uint8_t* data = task.Data(0);
  struct Case {
    const char* name;
    int64_t piece;   // -1: deliver by global block index
    int64_t offset;  // or the block index
    int32_t length;
    bool accepted;
  };
  const Case cases[] = {
      {"requested block", -1, 0, kBlock, true},
      {"the same block again", -1, 0, kBlock, false},
      {"block nobody asked for", -1, 5, kBlock, false},
      {"requested block, other length", -1, 1, 100, false},
      {"negative index", -1, -1, kBlock, false},
      {"largest index", -1, INT64_MAX, kBlock, false},
      {"zero length", -1, 1, 0, false},
      {"end-game block", -1, 40, kBlock, true},
      {"end-game entry past the last piece", -1, int64_t{1} << 40, kBlock, false},
      {"offset inside a block", 0, 100, kBlock, false},
      {"offset past the piece", 0, 4 * kBlock, kBlock, false},
      {"piece past the count", 16, 0, kBlock, false},
      {"negative piece", -5, 0, kBlock, false},
      {"aligned block by piece and offset", 0, kBlock, kBlock, true},
  };
  int64_t expected = 0;
  for (const Case& c : cases) {
    const bool result = c.piece == -1 ? peer->DeliverBlock(c.offset, c.length, data)
                                      : peer->DeliverPieceBlock(c.piece, c.offset, c.length, data);
    EXPECT_EQ(result, c.accepted) << c.name;
    if (c.accepted) expected += c.length;
    EXPECT_EQ(task.downloaded, expected) << c.name;
  }
  EXPECT_EQ(task.kindBytes[SOURCE_HTTP], expected);
  EXPECT_EQ(peer->counters.windowDelivered, expected);
  EXPECT_EQ(Blocks(peer->Requests()), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(task.endGameList.size(), 1u);
  EXPECT_FALSE(peer->DeliverBlock(2, kBlock, nullptr));
}

TEST_F(PeerFixture, GlobalBlockIndexIsComputedIn64Bits) {
  // Piece 1000 of 4 MiB pieces starts past 2^32 bytes.
  const int64_t pieceLength = 4 << 20;
  test::TempDir dir;
  test::FakeTask owner;
  TPieces large(owner);
  large.SetSaveDirectory(dir.path);
  const std::string hashes(1100 * 20, 'h');
  ASSERT_TRUE(large.LoadInfo(
      *test::Parse(test::SingleInfo("big.bin", 1100 * pieceLength, pieceLength, hashes))));
  EXPECT_EQ(TPeerObject::GlobalBlock(large, 1000, kBlock), int64_t{1000} * 256 + 1);
  EXPECT_EQ(TPeerObject::GlobalBlock(large, 1099, pieceLength - kBlock), int64_t{1100} * 256 - 1);
  EXPECT_EQ(TPeerObject::GlobalBlock(large, 1100, 0), -1);
}

TEST_F(PeerFixture, BitTorrentPeersTakeOnlyBlocksTheySentRequestsFor) {
  TestPeer* peer = Peer(SOURCE_BTNODE);
  peer->Ask(0, kBlock);
  EXPECT_FALSE(Deliver(peer, 0));
  peer->MarkSent();
  peer->workState = TPeerObject::kAwaitingData;
  EXPECT_TRUE(Deliver(peer, 0));
  EXPECT_EQ(peer->workState, TPeerObject::kActive);
  EXPECT_EQ(task.kindBytes[SOURCE_BTNODE], kBlock);
  EXPECT_EQ(peer->stats.lastDataTime, task.now);
}

TEST_F(PeerFixture, DisconnectedOrFinishedCases) {
  TestPeer* peer = Peer(SOURCE_HTTP);
  peer->Ask(0, kBlock);
  task.complete = true;
  EXPECT_TRUE(Deliver(peer, 0));  // accepted and ignored
  EXPECT_EQ(task.downloaded, 0);
  task.complete = false;
  peer->linkState = TPeerObject::kNoLink;
  EXPECT_FALSE(Deliver(peer, 0));
  EXPECT_EQ(task.downloaded, 0);
}

// Counted on the connection whether its source alone sent the piece (and is charged) or not.
TEST_F(PeerFixture, AFailedPieceCountsOnThePeerAndIsWantedAgain) {
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "another source sent a block" : "the peer sent all of it");
    task.penalties.clear();
    TestPeer* peer = Peer(SOURCE_HTTP);
    const std::string junk(kBlock, 'x');
    const auto* bad = reinterpret_cast<const uint8_t*>(junk.data());
    bool accepted = false;
    if (shared) {
      ASSERT_EQ(task.map.ReceiveBlock(0, kBlock, bad, nullptr, &accepted), kBlock);
    }
    for (int64_t b = shared ? 1 : 0; b < 4; ++b) peer->Ask(b, kBlock);
    for (int64_t b = shared ? 1 : 0; b < 3; ++b) ASSERT_TRUE(peer->DeliverBlock(b, kBlock, bad));
    EXPECT_FALSE(peer->DeliverBlock(3, kBlock, bad));
    EXPECT_EQ(peer->stats.failures, 1);
    EXPECT_EQ(task.penalties.size(), shared ? 0u : 1u);
    EXPECT_EQ(peer->counters.windowDelivered, (shared ? 2 : 3) * kBlock);
    EXPECT_TRUE(task.map.IsPieceWanted(0));
    EXPECT_EQ(task.map.PieceBytesInMemory(0), 0);
  }
}

// Each bad piece in a row backs the source off longer; a good one ends the row; the third bad
// one in a row retires the source.
TEST_F(PeerFixture, BadPiecesInARowBackTheSourceOffLongerUntilItIsRetired) {
  TestPeer* peer = Peer(SOURCE_HTTP);
  TPeerId* id = peer->PeerId();
  const std::string junk(kPieceLength, 'x');
  const auto deliverPiece = [&](int64_t piece, bool good) {
    const int64_t first = piece * kPieceLength / kBlock;
    for (int64_t b = first; b < first + kPieceLength / kBlock; ++b) {
      peer->Ask(b, kBlock);
      peer->DeliverBlock(b, kBlock, good ? task.Data(b) : reinterpret_cast<const uint8_t*>(junk.data()));
    }
  };
  deliverPiece(0, false);
  deliverPiece(0, false);
  ASSERT_EQ(task.penalties.size(), 2u);
  EXPECT_EQ(task.penalties[0].second, 30);
  EXPECT_EQ(task.penalties[1].second, 60);
  deliverPiece(0, true);
  EXPECT_EQ(id->badPieces, 0);
  deliverPiece(1, false);
  deliverPiece(1, false);
  EXPECT_TRUE(task.removed.empty());
  deliverPiece(1, false);
  ASSERT_EQ(task.removed.size(), 1u);
  EXPECT_EQ(task.removed[0], id);
}

// The verdict on a piece can come after the connection that sent it ended (the hash runs off the
// task thread): the source is still named and charged, and the peer object, reused for another
// source meanwhile, is not.
TEST_F(PeerFixture, APieceJudgedAfterItsSenderWasResetIsChargedToTheSource) {
  for (const uint32_t kind : {uint32_t{SOURCE_BTNODE}, uint32_t{SOURCE_HTTP}}) {
    SCOPED_TRACE(kind);
    task.piecesTask.reports.clear();
    task.penalties.clear();
    task.map.HashInBackground(true);
    TestPeer* peer = Peer(kind);
    TPeerId* liar = peer->PeerId();
    liar->addressText = "http://mirror.test/data.bin";
    const std::string junk(kBlock, 'x');
    for (int64_t b = 4; b < 8; ++b) {
      peer->Ask(b, kBlock);
      peer->MarkSent();
      ASSERT_TRUE(peer->DeliverBlock(b, kBlock, reinterpret_cast<const uint8_t*>(junk.data())));
    }
    ASSERT_TRUE(task.map.Piece(1).Hashing);
    peer->Reset();
    ids.push_back(test::MakeIdentity(static_cast<int32_t>(kind), 9090));
    ASSERT_TRUE(peer->ConnectTo(ids.back()));
    task.map.HashInBackground(false);

    ASSERT_EQ(task.piecesTask.reports.size(), 1u);
    EXPECT_EQ(task.piecesTask.reports[0], kind == SOURCE_BTNODE ? "11500102 127.0.0.1 : 8080"
                                                                : "11500101 http://mirror.test/data.bin");
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_EQ(task.penalties[0].first, liar);
    EXPECT_EQ(liar->badPieces, 1);
    EXPECT_EQ(peer->stats.failures, 0);
    peer->Ask(8, kBlock);
    peer->MarkSent();
    EXPECT_TRUE(Deliver(peer, 8)) << "the new connection is not ended for the old one's piece";
  }
}

TEST_F(PeerFixture, ACompletedPieceLeavesTheEndGameList) {
  task.endGame = true;
  TestPeer* peer = Peer(SOURCE_HTTP);
  for (int64_t b = 0; b < 4; ++b) peer->Ask(b, kBlock);
  task.endGameList = {{2, kBlock, 0, false}, {3, kBlock, 0, false}, {4, kBlock, 0, false}};
  for (int64_t b = 0; b < 2; ++b) ASSERT_TRUE(Deliver(peer, b));
  EXPECT_EQ(task.endGameList.size(), 3u);
  for (int64_t b = 2; b < 4; ++b) ASSERT_TRUE(Deliver(peer, b));
  ASSERT_TRUE(task.map.Piece(0).Verified);
  EXPECT_EQ(Blocks(task.endGameList), (std::vector<int64_t>{4}));
}

// A peer whose BitTorrent answers are set by the test.
struct JudgedPeer : test::TestPeer {
  explicit JudgedPeer(IPeerTask* t) : TestPeer(SOURCE_BTNODE, t) {}
  bool IsUseless() override { return useless; }
  bool IsStale() override { return stale; }
  bool IsSeed() override { return seed; }
  bool useless = false, stale = false, seed = false;
};

TEST_F(PeerFixture, IsDroppable) {
  struct Case {
    const char* name;
    bool connected, useless, stale, seed, complete, keepSeeds, droppable;
  };
  const Case cases[] = {
      {"not connected", false, false, false, false, false, true, true},
      {"useless", true, true, false, false, false, true, true},
      {"stale, seeds not kept", true, false, true, false, false, false, true},
      {"stale, seeds kept", true, false, true, false, false, true, false},
      {"seed while seeding", true, false, false, true, true, true, true},
      {"seed while downloading", true, false, false, true, false, true, false},
      {"healthy", true, false, false, false, true, false, false},
  };
  for (const Case& c : cases) {
    auto* peer = new JudgedPeer(&task);
    TPeerId* id = test::MakeIdentity(SOURCE_BTNODE, 6881);
    if (c.connected) {
      ASSERT_TRUE(peer->ConnectTo(id));
    }
    peer->useless = c.useless;
    peer->stale = c.stale;
    peer->seed = c.seed;
    task.complete = c.complete;
    EXPECT_EQ(peer->IsDroppable(c.keepSeeds), c.droppable) << c.name;
    peer->Reset();
    peer->Release();
    id->Release();
  }
}

}  // namespace
}  // namespace bw
