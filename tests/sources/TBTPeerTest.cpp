#include "engine/sources/TBTPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "engine/sources/BTWire.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

std::string Handshake(const std::string& peerId) {
  return std::string("\x13" "BitTorrent protocol") + std::string(8, '\0') + std::string(20, 'H') + peerId;
}

std::string PieceHeader(uint32_t index, uint32_t begin, uint32_t blockLength) {
  std::string out;
  btwire::AppendHeader(out, btwire::kPiece, 8 + blockLength);
  btwire::AppendU32(out, index);
  btwire::AppendU32(out, begin);
  return out;
}

// A BitTorrent peer on one end of a loopback connection, the test on the other.
class BTPeerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    task.swarmHandshake = Handshake(std::string(20, 'o'));
    ASSERT_TRUE(listener.Listen(port, test::Loopback()));
  }
  void TearDown() override {
    peer->Reset();
    id->Release();
  }

  // The remote side's handshake, a bitfield of every piece and an unchoke.
  void Greet(QSocket& remote) {
    const std::string greeting = Handshake(std::string(20, 'r')) +
                                 Message(btwire::kBitfield, std::string(128 / 8, '\xff')) + Message(btwire::kUnchoke, "");
    remote.Send(greeting.data(), static_cast<int64_t>(greeting.size()));
  }

  // Dials the remote end, which answers with Greet; null when it was not reached.
  std::unique_ptr<QSocket> DialGreeting() {
    ++id->attempts;
    if (!peer->ConnectTo(id) || !listener.WaitReadable(5)) return nullptr;
    std::unique_ptr<QSocket> remote = listener.Accept();
    if (remote) Greet(*remote);
    return remote;
  }

  static std::string Message(int id, const std::string& payload) {
    std::string out;
    btwire::AppendHeader(out, static_cast<btwire::MessageId>(id), static_cast<uint32_t>(payload.size()));
    return out + payload;
  }

  // Bytes the remote end has received, once at least `count` are there.
  std::string ReadAtLeast(QSocket& remote, size_t count) {
    for (int i = 0; i < 100 && static_cast<size_t>(remote.ReceivedSize()) < count; ++i) {
      if (peer->Socket()) peer->Socket()->Flush();
      remote.WaitReadable(1);
      if (remote.Receive(4096) < 0) break;
    }
    return std::string(reinterpret_cast<const char*>(remote.ReceivedData()), static_cast<size_t>(remote.ReceivedSize()));
  }

  std::vector<TBlockRequest> OnWire() const {
    std::vector<TBlockRequest> sent;
    std::copy_if(peer->Requests().begin(), peer->Requests().end(), std::back_inserter(sent),
                 [](const TBlockRequest& r) { return r.sent; });
    return sent;
  }

  // The piece messages that answer the requests, in their order.
  std::string Answers(const std::vector<TBlockRequest>& asked) const {
    std::string answers;
    for (const TBlockRequest& r : asked) {
      const auto start = static_cast<size_t>(r.block) * 16384;
      answers += PieceHeader(static_cast<uint32_t>(start / 65536), static_cast<uint32_t>(start % 65536), 16384) +
                 task.content.substr(start, 16384);
    }
    return answers;
  }

  test::FakePeerTask task{128 * 65536, 65536};
  QSocket listener;
  const uint16_t port = test::FreePort();
  TPeerId* id = test::MakeIdentity(SOURCE_BTNODE, port);
  TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
};

TEST_F(BTPeerFixture, AnIncomingDisguiseIsAnsweredInKindAndTheHandshakeAccepted) {
  for (const bool disguised : {false, true}) {
    QSocket remote;
    ASSERT_TRUE(remote.Connect(test::Loopback(), port, true));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> accepted = listener.Accept();
    ASSERT_NE(accepted, nullptr);
    const std::string greeting =
        (disguised ? "GET / HTTP/1.0\r\nHost: 127.0.0.1:80\r\n\r\n" : "") + Handshake(std::string(20, 'r'));
    remote.Send(greeting.data(), static_cast<int64_t>(greeting.size()));
    // The listener has read the greeting before it hands the socket over.
    while (accepted->ReceivedSize() < static_cast<int64_t>(greeting.size())) {
      accepted->WaitReadable(1);
      ASSERT_GE(accepted->Receive(4096), 0);
    }
    ASSERT_TRUE(peer->AttachSocket(std::move(accepted)));
    ASSERT_TRUE(peer->DownloadStep());
    EXPECT_EQ(peer->linkState, TPeerObject::kGreeted) << disguised;
    const std::string reply = ReadAtLeast(remote, 68);
    const size_t handshakeAt = disguised ? reply.find("\r\n\r\n") + 4 : 0;
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nConnection: ", 0) == 0, disguised) << reply.substr(0, 40);
    EXPECT_EQ(reply.substr(handshakeAt, 68), task.swarmHandshake) << disguised;
    peer->Reset();
  }
}

TEST_F(BTPeerFixture, ADialledPeerIsGreetedWithARequestOnlyWhenTheDisguiseIsOn) {
  for (const bool disguise : {false, true}) {
    task.disguise = disguise;
    ++id->attempts;
    ASSERT_TRUE(peer->ConnectTo(id));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> remote = listener.Accept();
    ASSERT_NE(remote, nullptr);
    const std::string expected =
        (disguise ? btwire::RequestDisguise(id->ip, port, id->attempts % 2 == 0) : "") + task.swarmHandshake;
    for (int i = 0; i < 100 && !peer->Socket()->IsConnected(); ++i) platform::SleepMs(5);
    ASSERT_TRUE(peer->DownloadStep());
    EXPECT_EQ(ReadAtLeast(*remote, expected.size()).substr(0, expected.size()), expected) << disguise;
    peer->Reset();
  }
}

// A TCP connect that fails marks the peer for the UDP transport at its next attempt, at once
// rather than after the connect time-out; a connection that worked and then broke does not.
TEST_F(BTPeerFixture, AFailedTcpConnectMarksThePeerForUdpAtOnce) {
  for (const bool refused : {true, false}) {
    TPeerId* target = refused ? test::MakeIdentity(SOURCE_BTNODE, test::FreePort()) : id;
    ++target->attempts;
    ASSERT_TRUE(peer->ConnectTo(target)) << refused;
    std::unique_ptr<QSocket> remote;
    if (!refused) {
      ASSERT_TRUE(listener.WaitReadable(5));
      remote = listener.Accept();
      ASSERT_NE(remote, nullptr);
      for (int i = 0; i < 100 && !peer->Socket()->IsConnected(); ++i) platform::SleepMs(5);
      remote->Close();
    }
    bool stepped = true;
    for (int i = 0; i < 200 && stepped; ++i) {
      platform::SleepMs(5);
      stepped = peer->DownloadStep();
    }
    EXPECT_FALSE(stepped) << refused;
    EXPECT_EQ(target->tcpRefused, refused);
    peer->Reset();
    if (refused) target->Release();
  }
}

TEST_F(BTPeerFixture, PiecesAreJudgedByTheRequestsTheyAnswer) {
  struct Case {
    const char* name;
    bool chokeFirst;  // the remote chokes us, which withdraws our requests, before it answers
    bool asked;       // the answer names our first request, else a piece we never asked for
    size_t dataSent;  // of the block's 16,384 bytes
    bool linkStays;
    std::vector<int32_t> backOffs;  // what the remote's identity was penalised with
    bool corrupt = false;           // the answer is the whole piece, with data that fails its check
  };
  const Case cases[] = {
      {"a partial answer to a request waits for its data", false, true, 100, true, {}},
      {"a whole answer is delivered", false, true, 16384, true, {}},
      {"a partial piece nobody asked for ends the link", false, false, 100, false, {300}},
      {"a late answer to a withdrawn request is dropped", true, true, 16384, true, {}},
      {"a piece that fails its check ends the link at the bad-piece back-off", false, true, 16384, false, {30}, true},
  };
  for (const Case& c : cases) {
    task.downloaded = 0;
    task.penalties.clear();
    std::unique_ptr<QSocket> remote = DialGreeting();
    ASSERT_NE(remote, nullptr) << c.name;
    // Our handshake, interested and unchoke, and the requests for the four blocks of one piece.
    for (int i = 0; i < 100 && peer->Requests().size() < 4; ++i) {
      ASSERT_TRUE(peer->DownloadStep()) << c.name;
      platform::SleepMs(5);
    }
    ASSERT_EQ(ReadAtLeast(*remote, 68 + 10 + 4 * 17).size(), 68u + 10 + 4 * 17) << c.name;
    const int64_t first = peer->Requests().front().block;
    const auto index = static_cast<uint32_t>(c.asked ? first / 4 : 3);
    const auto begin = static_cast<uint32_t>(c.asked ? (first % 4) * 16384 : 0);
    std::string answer = PieceHeader(index, begin, 16384) + task.content.substr(index * 65536 + begin, c.dataSent);
    if (c.corrupt) {
      answer.clear();
      for (const TBlockRequest& r : OnWire()) {
        const auto start = static_cast<size_t>(r.block) * 16384;
        answer += PieceHeader(static_cast<uint32_t>(start / 65536), static_cast<uint32_t>(start % 65536), 16384) +
                  std::string(16384, 'x');
      }
    }
    if (c.chokeFirst) {
      const std::string choke = Message(btwire::kChoke, "");
      remote->Send(choke.data(), static_cast<int64_t>(choke.size()));
      for (int i = 0; i < 100 && !peer->Requests().empty(); ++i) {
        platform::SleepMs(5);
        ASSERT_TRUE(peer->DownloadStep()) << c.name;
      }
    }
    remote->Send(answer.data(), static_cast<int64_t>(answer.size()));
    const int cyclesBefore = task.cyclesRequested;
    bool stays = true;
    for (int i = 0; i < 10 && stays; ++i) {
      platform::SleepMs(5);
      stays = peer->DownloadStep();
    }
    EXPECT_EQ(stays, c.linkStays) << c.name;
    // The rest of a partial message comes when it comes: no quick cycle waits for it.
    EXPECT_EQ(task.cyclesRequested, cyclesBefore) << c.name;
    if (!c.corrupt) {
      EXPECT_EQ(task.downloaded, c.linkStays && !c.chokeFirst && c.dataSent == 16384 ? 16384 : 0) << c.name;
    }
    std::vector<int32_t> backOffs;
    for (const auto& [who, seconds] : task.penalties) backOffs.push_back(seconds);
    EXPECT_EQ(backOffs, c.backOffs) << c.name;
    id->badPieces = 0;
    peer->Reset();
  }
}

TEST_F(BTPeerFixture, RequestsOnTheWireFollowTheRateUpToWhatClientsQueue) {
  struct Case {
    int64_t downloadRate;
    size_t onWire;
  };
  // No rate yet and no piece checked: the four blocks of one piece; 100,000 B/s: rate / 16,384 + 2;
  // no client queues more than 250 of a peer's requests.
  for (const Case c : {Case{0, 4}, Case{100000, 8}, Case{int64_t{100} << 20, 250}}) {
    std::unique_ptr<QSocket> remote = DialGreeting();
    ASSERT_NE(remote, nullptr);
    for (int i = 0; i < 50 && peer->linkState != TPeerObject::kGreeted; ++i) {
      ASSERT_TRUE(peer->DownloadStep());
      platform::SleepMs(5);
    }
    peer->counters.downloadRate = c.downloadRate;
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(peer->DownloadStep());
    const size_t sent = std::count_if(peer->Requests().begin(), peer->Requests().end(),
                                      [](const TBlockRequest& r) { return r.sent; });
    EXPECT_EQ(sent, c.onWire) << c.downloadRate;
    EXPECT_EQ(ReadAtLeast(*remote, 68 + 10 + c.onWire * 17).size(), 68 + 10 + c.onWire * 17) << c.downloadRate;
    peer->Reset();
  }
}

// A remote side that answers everything between two steps, before the rate of a second is known:
// once a piece of it passed its check, each step puts twice what came back, plus two, on the wire
// again within that step; before, the pipe holds the blocks of one piece, so that the first piece
// is checked after one round trip.
TEST_F(BTPeerFixture, ThePipeGrowsWithWhatEachStepReceivesOnceAPiecePassed) {
  for (const bool passed : {false, true}) {
    SCOPED_TRACE(passed ? "a piece passed" : "no piece passed yet");
    std::unique_ptr<QSocket> remote = DialGreeting();
    ASSERT_NE(remote, nullptr);
    for (int i = 0; i < 50 && OnWire().size() < 4; ++i) {
      ASSERT_TRUE(peer->DownloadStep());
      platform::SleepMs(5);
    }
    peer->stats.passedPieces = passed ? 1 : 0;
    task.downloaded = 0;
    size_t expected = 4;
    // Without a passed piece one round, answering half of the piece: nothing is checked.
    const int rounds = passed ? 4 : 1;
    for (int round = 0; round < rounds; ++round) {
      std::vector<TBlockRequest> asked = OnWire();
      ASSERT_EQ(asked.size(), expected) << "round " << round;
      if (!passed) asked.resize(2);
      const std::string answers = Answers(asked);
      ASSERT_GE(remote->Send(answers.data(), static_cast<int64_t>(answers.size())), 0);
      for (int i = 0; i < 100 && remote->SendQueued() > 0; ++i) {
        platform::SleepMs(2);
        ASSERT_GE(remote->Flush(), 0);
      }
      platform::SleepMs(20);
      ASSERT_TRUE(peer->DownloadStep());
      EXPECT_EQ(peer->counters.downloadRate, 0);
      expected = passed ? 2 * asked.size() + 2 : 4;
    }
    EXPECT_EQ(OnWire().size(), passed ? 94u : 4u);
    EXPECT_EQ(task.downloaded, (passed ? 4 + 10 + 22 + 46 : 2) * 16384);
    peer->Reset();
  }
}

// A fast remote side answers a full pipe at once: the steps take it in chunk by chunk, asking
// for more as room opens, and the receive buffer never holds more than about two chunks, however
// much waits on the connection.
TEST_F(BTPeerFixture, AFullPipeIsTakenInChunksThatKeepTheRequestsFlowing) {
  std::unique_ptr<QSocket> remote = DialGreeting();
  ASSERT_NE(remote, nullptr);
  peer->counters.downloadRate = int64_t{100} << 20;
  for (int i = 0; i < 100 && OnWire().size() < 250; ++i) {
    ASSERT_TRUE(peer->DownloadStep());
    platform::SleepMs(5);
  }
  const std::vector<TBlockRequest> asked = OnWire();
  ASSERT_EQ(asked.size(), 250u);
  const std::string answers = Answers(asked);
  task.downloaded = 0;
  ASSERT_GE(remote->Send(answers.data(), static_cast<int64_t>(answers.size())), 0);
  int64_t largestBuffer = 0;
  for (int i = 0; i < 500 && task.downloaded < 250 * 16384; ++i) {
    ASSERT_GE(remote->Flush(), 0);
    platform::SleepMs(2);
    ASSERT_TRUE(peer->DownloadStep());
    largestBuffer = std::max(largestBuffer, peer->Socket()->ReceiveCapacity());
  }
  EXPECT_EQ(task.downloaded, 250 * 16384);
  EXPECT_LE(largestBuffer, 2 * TBTPeer::kReadChunk);
  // Every answer freed room for a new request: the pipe is full again, with none of the old ones.
  const std::vector<TBlockRequest> after = OnWire();
  EXPECT_EQ(after.size(), std::min<size_t>(250, 512 - 250));
  for (const TBlockRequest& r : after) {
    EXPECT_TRUE(std::none_of(asked.begin(), asked.end(), [&](const TBlockRequest& a) { return a.block == r.block; }));
  }
  peer->Reset();
}

// Requests for more blocks than one batch holds are all answered, in their order and byte-exact,
// over as many steps as the network needs.
TEST_F(BTPeerFixture, RequestedBlocksAreServedInOrderAcrossBatches) {
  constexpr int kBlocks = 40;  // pieces 0 to 9, two and a half batches
  for (int64_t block = 0; block < kBlocks; ++block) {
    bool accepted = false;
    task.map.ReceiveBlock(block, 16384, task.Data(block), nullptr, &accepted);
  }
  task.map.FlushPieces();
  ASSERT_TRUE(task.map.IsPieceComplete(9));
  std::unique_ptr<QSocket> remote = DialGreeting();
  ASSERT_NE(remote, nullptr);
  for (int i = 0; i < 50 && peer->linkState != TPeerObject::kGreeted; ++i) {
    ASSERT_TRUE(peer->DownloadStep());
    platform::SleepMs(5);
  }
  std::string requests;
  for (int block = 0; block < kBlocks; ++block) {
    btwire::AppendBlockMessage(requests, btwire::kRequest, static_cast<uint32_t>(block / 4),
                               static_cast<uint32_t>(block % 4 * 16384), 16384);
  }
  ASSERT_GE(remote->Send(requests.data(), static_cast<int64_t>(requests.size())), 0);
  // Our own messages come first: the handshake, then bitfield, interested, unchoke and requests.
  std::vector<std::string> served;
  size_t at = 68;
  for (int i = 0; i < 500 && served.size() < kBlocks; ++i) {
    ASSERT_TRUE(peer->DownloadStep());
    ASSERT_TRUE(peer->UploadStep());
    remote->WaitReadable(0);
    ASSERT_GE(remote->Receive(1 << 20), 0);
    btwire::Message message;
    size_t used = 0;
    while (btwire::ParseMessage(remote->ReceivedData() + at, static_cast<size_t>(remote->ReceivedSize()) - at,
                                1 << 20, &message, &used) == btwire::Parse::kMessage) {
      at += used;
      if (message.id == btwire::kPiece) served.emplace_back(reinterpret_cast<const char*>(message.payload), message.size);
    }
  }
  ASSERT_EQ(served.size(), static_cast<size_t>(kBlocks));
  for (int block = 0; block < kBlocks; ++block) {
    std::string expected(8, '\0');
    expected[3] = static_cast<char>(block / 4);
    expected[6] = static_cast<char>(block % 4 * 0x40);
    EXPECT_TRUE(served[block] == expected + task.content.substr(static_cast<size_t>(block) * 16384, 16384)) << block;
  }
  peer->Reset();
}

// What waits to be sent leaves by the rate of the connection: a slow one a half block every other
// step, a fast one all that the network takes. A connection that moved much since the rate was
// last measured counts as fast at once, not only when its window closes.
TEST_F(BTPeerFixture, QueuedOutputLeavesByWhatTheConnectionMovesNow) {
  struct Case {
    const char* name;
    int64_t uploadRate;
    int64_t windowSent;
    bool whole;  // two flushes move more than a block
  };
  const Case cases[] = {
      {"a slow connection", 0, 0, false},
      {"a fast connection", int64_t{10} << 20, 0, true},
      {"a connection that moved much in the open window", 0, int64_t{30} << 20, true},
  };
  for (const Case& c : cases) {
    std::unique_ptr<QSocket> remote = DialGreeting();
    ASSERT_NE(remote, nullptr) << c.name;
    for (int i = 0; i < 50 && peer->linkState != TPeerObject::kGreeted; ++i) {
      ASSERT_TRUE(peer->DownloadStep()) << c.name;
      platform::SleepMs(5);
    }
    // More than the network takes while the remote side reads nothing.
    const std::string bulk(int64_t{16} << 20, 'x');
    QSocket& socket = *peer->Socket();
    ASSERT_GE(socket.Send(bulk.data(), static_cast<int64_t>(bulk.size())), 0) << c.name;
    ASSERT_GT(socket.SendQueued(), 2 * 16384) << c.name;
    const int64_t before = socket.SendQueued();
    for (int i = 0; i < 200 && remote->Receive(1 << 20) >= 0; ++i) {
      remote->ConsumeReceived(-1);
      if (!remote->WaitReadable(0)) break;
    }
    peer->counters.uploadRate = c.uploadRate;
    peer->counters.windowSent = c.windowSent;
    ASSERT_TRUE(peer->FlushOutput()) << c.name;
    ASSERT_TRUE(peer->FlushOutput()) << c.name;
    const int64_t moved = before - socket.SendQueued();
    EXPECT_EQ(moved > 16384, c.whole) << c.name << ": " << moved;
    peer->Reset();
  }
}

// 64 pieces of 4 blocks and one range of a URL source over them all; the remote has pieces 0 to
// remoteLast, and those from excludedFrom on are not to be asked of it.
TEST(BTPeerBesideUrlSources, TakesPiecesFromTheTailOfTheUrlSourcesRange) {
  struct Case {
    const char* name;
    int32_t urlNext;  // the piece after the one the URL source is on; -1 for no worker
    int32_t remoteLast;
    int32_t excludedFrom;
    int64_t peerRate;
    int32_t piece;  // the choice, then the next one once it is complete
    int32_t then;
    int32_t runFirst;  // the run claimed as the peer's own, -1 for none
    int32_t runLast;
    int32_t urlLast;  // where the URL source's range ends after; -1 when it is gone
    bool restLeft;    // the pieces above the run that the remote lacks stay a URL source range
  };
  const Case cases[] = {
      {"a worked range loses its tail, the piece after the worker's stays", 10, 63, 64, 0, 63, 62, 11, 63, 10, false},
      {"a range nobody works on is taken whole", -1, 63, 64, 0, 63, 62, 0, 63, -1, false},
      {"pieces the remote lacks stay with the URL source", 10, 40, 64, 0, 40, 39, 11, 40, 10, true},
      {"a tail under 24 blocks is taken piece by piece", 50, 63, 56, 0, 55, 54, -1, -1, 63, false},
      {"the piece after the worker's is left to it", 58, 63, 59, 0, -1, -1, -1, -1, 63, false},
      {"unless this peer is three times as fast", 58, 63, 59, 300000, 58, -1, -1, -1, 63, false},
  };
  for (const Case& c : cases) {
    test::FakePeerTask task{64 * 65536, 65536};
    TPeerId* owner = test::MakeIdentity(SOURCE_HTTP, 80, "http://mirror/data.bin");
    TRef<test::TestPeer> worker = MakeRef<test::TestPeer>(2, &task);
    TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
    task.ranges.push_back(std::make_unique<TPieceRange>(owner, 0, 63));
    if (c.urlNext >= 0) {
      task.ranges.back()->next = c.urlNext;
      worker->SetRange(task.ranges.back().get());
      worker->counters.downloadRate = 100000;
    }
    peer->counters.downloadRate = c.peerRate;
    peer->remoteHave.assign(8, 0);
    peer->triedPieces.assign(8, 0);
    for (int32_t i = 0; i < 64; ++i) {
      if (i <= c.remoteLast) peer->remoteHave[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
      if (i >= c.excludedFrom) peer->triedPieces[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }

    EXPECT_EQ(peer->NextPiece(), c.piece) << c.name;
    const TPieceRange* run = peer->Range();
    EXPECT_EQ(run ? run->first : -1, c.runFirst) << c.name;
    EXPECT_EQ(run ? run->last : -1, c.runLast) << c.name;
    const auto owned = [&](int32_t first) {
      const auto at = std::find_if(task.ranges.begin(), task.ranges.end(), [&](const std::unique_ptr<TPieceRange>& r) {
        return r->Owner() == owner && r->first == first;
      });
      return at == task.ranges.end() ? nullptr : at->get();
    };
    EXPECT_EQ(owned(0) ? owned(0)->last : -1, c.urlLast) << c.name;
    const bool rest = owned(c.remoteLast + 1) && owned(c.remoteLast + 1)->last == 63;
    EXPECT_EQ(rest, c.restLeft) << c.name;
    if (c.piece >= 0) {
      for (int64_t block = c.piece * 4; block < c.piece * 4 + 4; ++block) {
        bool accepted = false;
        ASSERT_EQ(task.map.ReceiveBlock(block, 16384, task.Data(block), nullptr, &accepted), 16384) << c.name;
      }
      EXPECT_EQ(peer->NextPiece(), c.then) << c.name;
    }
    peer->Reset();
    worker->Reset();
    owner->Release();
  }
}

// A planning step that claims the tail of a mirror's range as its own run chooses on as a fresh
// look would: the reading position inside the run is its own now, no longer the mirror's.
TEST(BTPeerBesideUrlSources, AStepGoesOnFromWhatItsFirstChoiceClaimed) {
  test::FakePeerTask task{64 * 65536, 65536};
  TPeerId* owner = test::MakeIdentity(SOURCE_HTTP, 80, "http://mirror/data.bin");
  TRef<test::TestPeer> worker = MakeRef<test::TestPeer>(2, &task);
  TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
  task.ranges.push_back(std::make_unique<TPieceRange>(owner, 0, 63));
  task.ranges.back()->next = 10;
  worker->SetRange(task.ranges.back().get());
  worker->counters.downloadRate = 100000;
  task.position = 20;
  peer->linkState = TPeerObject::kGreeted;
  peer->peerChoking = false;
  peer->remoteHave.assign(8, 0xff);
  peer->triedPieces.assign(8, 0);
  peer->haveCount = 64;
  peer->counters.downloadRate = 6 * 16384;  // a depth of 12 requests: 3 pieces
  ASSERT_TRUE(peer->PlanRequests());
  std::vector<int64_t> pieces;
  for (const TBlockRequest& r : peer->Requests()) {
    if (pieces.empty() || pieces.back() != r.block / 4) pieces.push_back(r.block / 4);
  }
  EXPECT_EQ(pieces, (std::vector<int64_t>{63, 20, 21}));
  peer->Reset();
  worker->Reset();
  owner->Release();
}

// Four files of 16 pieces (4 blocks each), a remote with every piece and no URL source: the
// reading position first, then the files from the most wanted priority down, each from the random
// start (or in order, from the piece the remote announced last).
TEST(BTPeerPieceChoice, PositionThenFilesByPriorityFromTheStart) {
  struct Case {
    const char* name;
    std::vector<int32_t> levels;  // priority of each file
    int32_t position;
    int32_t randomStart;
    int32_t lastHave;
    int32_t askedElsewhere;  // a piece another peer fetches, -1 for none
    int32_t leftRangeLast;   // a range [0, this] that a BitTorrent peer let go, -1 for none
    int32_t piece;
    int32_t wanted = -1;   // a piece the task wants first, -1 for none
    int32_t refused = -1;  // a piece enough peers want already
  };
  const Case cases[] = {
      {"in order from the first file", {0, 0, 0, 0}, -1, -1, -1, -1, -1, 0},
      {"the most wanted file first", {0, 0, 2, 0}, -1, -1, -1, -1, -1, 32},
      {"a low priority file after the default ones", {-2, 0, 0, 0}, -1, -1, -1, -1, -1, 16},
      {"the random start is an offset within the file", {0, 0, 0, 0}, -1, 21, -1, -1, -1, 5},
      {"in order, from the piece the remote announced last", {0, 0, 0, 0}, -1, -1, 10, -1, -1, 10},
      {"an announced piece of another file waits for that file", {0, 0, 0, 0}, -1, -1, 20, -1, -1, 0},
      {"the reading position before any priority", {2, 0, 0, 0}, 40, -1, -1, -1, -1, 40},
      {"a piece another peer fetches is passed over", {0, 0, 0, 0}, 40, -1, -1, 40, -1, 41},
      {"and so in the files", {0, 0, 0, 0}, -1, 21, -1, 5, -1, 6},
      {"a range a BitTorrent peer let go is free again", {0, 0, 0, 0}, -1, -1, -1, -1, 15, 0},
      {"the task's wanted list before the files", {2, 0, 0, 0}, -1, -1, -1, -1, -1, 37, 37},
      {"the reading position before the wanted list", {0, 0, 0, 0}, 40, -1, -1, -1, -1, 40, 37},
      {"a wanted piece another peer fetches is passed over", {0, 0, 0, 0}, -1, -1, -1, 37, -1, 0, 37},
      {"a piece enough peers want is passed over", {0, 0, 0, 0}, -1, -1, -1, -1, -1, 1, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakePeerTask task({{{"a"}, 16 * 65536}, {{"b"}, 16 * 65536}, {{"c"}, 16 * 65536}, {{"d"}, 16 * 65536}}, 65536);
    ASSERT_TRUE(task.loaded);
    for (size_t file = 0; file < c.levels.size(); ++file) task.map.Storage().Files()[file].Selection = c.levels[file];
    task.position = c.position;
    task.randomStart = c.randomStart;
    TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
    TRef<test::TestPeer> other = MakeRef<test::TestPeer>(1, &task);
    task.active.push_back(TRef<TPeerObject>::Share(peer.get()));
    task.active.push_back(TRef<TPeerObject>::Share(other.get()));
    if (c.askedElsewhere >= 0) other->Ask(c.askedElsewhere * 4 + 1, 16384);
    TPeerId* left = test::MakeIdentity(SOURCE_BTNODE, 6881);
    if (c.leftRangeLast >= 0) task.ranges.push_back(std::make_unique<TPieceRange>(left, 0, c.leftRangeLast));
    peer->remoteHave.assign(8, 0xff);
    peer->triedPieces.assign(8, 0);
    peer->lastHaveIndex = c.lastHave;
    if (c.wanted >= 0) task.wanted.push_back({c.wanted, nullptr});
    task.refusedPiece = c.refused;
    EXPECT_EQ(peer->NextPiece(), c.piece);
    EXPECT_EQ(task.wanted.back().piece, c.piece) << "the choice is entered on the wanted list";
    EXPECT_EQ(task.wanted.back().by, peer.get());
    task.active.clear();
    peer->Reset();
    other->Reset();
    task.ranges.clear();
    left->Release();
  }
}

// One planning step queues piece after piece up to the depth: each piece once, none that another
// peer fetches, each entered on the wanted list once; the peer's entries go when it leaves.
TEST(BTPeerPieceChoice, APlanningStepAsksForEachPieceOnce) {
  test::FakePeerTask task{64 * 65536, 65536};
  TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
  TRef<test::TestPeer> other = MakeRef<test::TestPeer>(1, &task);
  task.active.push_back(TRef<TPeerObject>::Share(other.get()));
  other->Ask(1 * 4 + 2, 16384);
  peer->linkState = TPeerObject::kGreeted;
  peer->peerChoking = false;
  peer->remoteHave.assign(8, 0xff);
  peer->triedPieces.assign(8, 0);
  peer->haveCount = 64;
  peer->counters.downloadRate = 40 * 16384;  // a depth of 80 requests: 20 pieces of 4 blocks
  ASSERT_TRUE(peer->PlanRequests());
  std::vector<int64_t> blocks;
  for (const TBlockRequest& r : peer->Requests()) blocks.push_back(r.block);
  std::vector<int64_t> expected;
  for (int64_t piece = 0; piece <= 20; ++piece) {
    for (int64_t block = piece * 4; block < piece * 4 + 4 && piece != 1; ++block) expected.push_back(block);
  }
  EXPECT_EQ(blocks, expected);
  std::vector<int32_t> wanted;
  for (const TWantedPiece& w : task.wanted) wanted.push_back(w.piece);
  EXPECT_EQ(wanted, (std::vector<int32_t>{0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
  peer->Reset();
  EXPECT_TRUE(task.wanted.empty());
  task.active.clear();
  other->Reset();
}

// A remote whose pieces other sources all hold is not taken for one with nothing to offer: the
// pieces may come free at any time, and when they do it takes them at once.
TEST(BTPeerPieceChoice, NothingToOfferOnlyWhenTheRemoteHasNothingNeeded) {
  enum Holder { kMirror, kOtherPeer, kNone };
  struct Case {
    const char* name;
    Holder holder;  // who works on piece 7 when the remote is asked
    uint8_t remoteHave;
  };
  const Case cases[] = {
      {"held by a mirror that gives its range up", kMirror, 0xff},
      {"requested by another peer that leaves", kOtherPeer, 0xff},
      {"nothing needed", kMirror, 0xfc},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakePeerTask task{8 * 65536, 65536};
    TPeerId* owner = test::MakeIdentity(SOURCE_HTTP, 80, "http://mirror/data.bin");
    TRef<test::TestPeer> mirror = MakeRef<test::TestPeer>(SOURCE_HTTP, &task);
    task.ranges.push_back(std::make_unique<TPieceRange>(owner, 0, 7));
    task.ranges.back()->next = 7;  // on piece 6, piece 7 left to it
    mirror->SetRange(task.ranges.back().get());
    TRef<test::TestPeer> other = MakeRef<test::TestPeer>(SOURCE_BTNODE, &task);
    if (c.holder == kOtherPeer) {
      task.ranges.back()->last = 6;
      for (int64_t block = 28; block < 32; ++block) other->Ask(block, 16384);
      task.active.push_back(TRef<TPeerObject>::Share(other.get()));
    }
    for (int64_t block = 0; block < 6 * 4; ++block) {
      bool accepted = false;
      ASSERT_EQ(task.map.ReceiveBlock(block, 16384, task.Data(block), nullptr, &accepted), 16384);
    }
    TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
    peer->remoteHave.assign(1, c.remoteHave);
    peer->triedPieces.assign(1, 0);
    EXPECT_EQ(peer->NextPiece(), -1);
    const bool needed = c.remoteHave == 0xff;
    EXPECT_EQ(peer->nothingToOffer, !needed);
    (c.holder == kOtherPeer ? other : mirror)->Reset();
    task.active.clear();
    EXPECT_EQ(peer->NextPiece(), needed ? 7 : -1) << "the piece that came free";
    peer->Reset();
    mirror->Reset();
    owner->Release();
  }
}

}  // namespace
}  // namespace bw
