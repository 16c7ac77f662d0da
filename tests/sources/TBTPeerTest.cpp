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

std::string PieceHeader(uint32_t index, uint32_t begin, uint32_t blockLength) {
  std::string out;
  btwire::AppendHeader(out, btwire::kPiece, 8 + blockLength);
  btwire::AppendU32(out, index);
  btwire::AppendU32(out, begin);
  return out;
}

TEST_F(BTPeerFixture, PiecesAreJudgedByTheRequestsTheyAnswer) {
  struct Case {
    const char* name;
    bool chokeFirst;  // the remote chokes us, which withdraws our requests, before it answers
    bool asked;       // the answer names our first request, else a piece we never asked for
    size_t dataSent;  // of the block's 16,384 bytes
    bool linkStays;
  };
  const Case cases[] = {
      {"a partial answer to a request waits for its data", false, true, 100, true},
      {"a whole answer is delivered", false, true, 16384, true},
      {"a partial piece nobody asked for ends the link", false, false, 100, false},
      {"a late answer to a withdrawn request is dropped", true, true, 16384, true},
  };
  for (const Case& c : cases) {
    task.downloaded = 0;
    ++id->attempts;
    ASSERT_TRUE(peer->ConnectTo(id)) << c.name;
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> remote = listener.Accept();
    ASSERT_NE(remote, nullptr);
    Greet(*remote);
    // Our handshake, interested and unchoke, and two block requests.
    for (int i = 0; i < 100 && peer->Requests().size() < 2; ++i) {
      ASSERT_TRUE(peer->DownloadStep()) << c.name;
      platform::SleepMs(5);
    }
    ASSERT_EQ(ReadAtLeast(*remote, 68 + 10 + 2 * 17).size(), 68u + 10 + 2 * 17) << c.name;
    const int64_t first = peer->Requests().front().block;
    const auto index = static_cast<uint32_t>(c.asked ? first / 4 : 3);
    const auto begin = static_cast<uint32_t>(c.asked ? (first % 4) * 16384 : 0);
    const std::string answer = PieceHeader(index, begin, 16384) + task.content.substr(index * 65536 + begin, c.dataSent);
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
    EXPECT_EQ(task.downloaded, c.linkStays && !c.chokeFirst && c.dataSent == 16384 ? 16384 : 0) << c.name;
    peer->Reset();
  }
}

TEST_F(BTPeerFixture, RequestsOnTheWireFollowTheRateUpToWhatClientsQueue) {
  struct Case {
    int64_t downloadRate;
    size_t onWire;
  };
  // No rate yet: the planning depth of 2; 100,000 B/s: rate / 16,384 + 2; no client queues more
  // than 250 of a peer's requests.
  for (const Case c : {Case{0, 2}, Case{100000, 8}, Case{int64_t{100} << 20, 250}}) {
    ++id->attempts;
    ASSERT_TRUE(peer->ConnectTo(id));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> remote = listener.Accept();
    ASSERT_NE(remote, nullptr);
    Greet(*remote);
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

}  // namespace
}  // namespace bw
