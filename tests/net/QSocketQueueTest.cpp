#include <gtest/gtest.h>

#include <cstring>

#include "engine/net/NetClock.h"
#include "engine/net/QSocket.h"
#include "tests/net/FakeResolver.h"
#include "tests/net/FakeTransport.h"

namespace bw {
namespace {

const uint8_t kTag[8] = {'R', 'E', 'M', 'O', 'T', 'E', '0', '1'};

uint64_t FixedClock() { return 5000; }

// A socket over the in-memory transport, so that the test decides what the network takes.
class QSocketQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousClock_ = SetNetClock(FixedClock);
    ASSERT_TRUE(socket.Connect(test::Ip(10, 0, 0, 7), 6881, false, nullptr, 0, kTag));
  }
  void TearDown() override {
    socket.Close();
    SetNetClock(previousClock_);
  }
  int64_t Send(const std::string& s) { return socket.Send(s.data(), static_cast<int64_t>(s.size())); }
  std::string Held() const {
    return std::string(reinterpret_cast<const char*>(socket.ReceivedData()),
                       static_cast<size_t>(socket.ReceivedSize()));
  }

  test::FakeTransport net;
  QSocket socket;
  NetClockSource previousClock_ = nullptr;
};

TEST_F(QSocketQueueTest, ConnectCarriesTagAndMarksConnectedLazily) {
  EXPECT_TRUE(socket.IsUdpMode());
  EXPECT_TRUE(socket.IsReady());
  EXPECT_EQ(std::memcmp(net.connectedTo.spare, kTag, 8), 0);
  EXPECT_EQ(net.connectedTo.port, 6881);
  EXPECT_EQ(socket.LastActivity(), 5000u);
  EXPECT_FALSE(socket.IsConnected());
  EXPECT_EQ(socket.LocalPort(), 0u);

  net.connectDone = true;
  EXPECT_TRUE(socket.IsConnected());
  EXPECT_EQ(socket.ConnectedAt(), 5000u);
  EXPECT_EQ(socket.LocalPort(), 4000u);
  EXPECT_EQ(socket.LocalAddressText(), "127.0.0.9");
  EXPECT_EQ(std::memcmp(socket.LocalTag(), "TAGBYTESUDP\0\0", 13), 0);
}

TEST_F(QSocketQueueTest, DataSentWhileConnectingLeavesOnceConnected) {
  EXPECT_EQ(Send("hello"), 0);
  EXPECT_EQ(socket.SendQueued(), 5);
  EXPECT_EQ(net.sent, "");
  net.connectDone = true;
  EXPECT_EQ(socket.Flush(), 5);
  EXPECT_EQ(net.sent, "hello");
  EXPECT_EQ(socket.SendQueued(), 0);
  EXPECT_EQ(socket.SendCapacity(), 0);  // an emptied buffer goes back to the pool
  EXPECT_EQ(socket.BytesSent(), 5u);
}

TEST_F(QSocketQueueTest, OneSendWritesAtMostItsLengthAndQueuesTheRest) {
  const std::string queued(30, 'q');
  std::string fresh(100, 'n');
  fresh.replace(70, 30, std::string(30, 'r'));
  EXPECT_EQ(Send(queued), 0);
  net.connectDone = true;
  EXPECT_EQ(Send(fresh), 100);
  EXPECT_EQ(net.sent, queued + fresh.substr(0, 70));
  EXPECT_EQ(socket.SendQueued(), 30);
  EXPECT_EQ(socket.Flush(), 30);
  EXPECT_EQ(net.sent, queued + fresh);
}

TEST_F(QSocketQueueTest, NewDataWaitsBehindQueuedBytesTheNetworkRefused) {
  EXPECT_EQ(Send(std::string(30, 'q')), 0);
  net.connectDone = true;
  net.sendBudget = 0;
  EXPECT_EQ(Send("abc"), 0);
  EXPECT_EQ(socket.SendQueued(), 33);
  net.sendBudget = 20;
  EXPECT_EQ(Send(std::string(100, 'n')), 20);  // queue not drained: nothing new is written
  EXPECT_EQ(socket.SendQueued(), 113);
  net.sendBudget = -1;
  EXPECT_EQ(socket.Flush(50), 50);
  EXPECT_EQ(socket.Flush(), 63);
  EXPECT_EQ(net.sent, std::string(30, 'q') + "abc" + std::string(100, 'n'));
}

TEST_F(QSocketQueueTest, ReceiveBufferGrowsAndShrinksByItsRules) {
  net.connectDone = true;
  net.incoming.assign(20000, 'a');
  EXPECT_EQ(socket.Receive(97952), 20000);
  EXPECT_EQ(socket.ReceiveCapacity(), 100000);  // 97,952 + 0 + 2,048
  socket.ConsumeReceived(10000);
  EXPECT_EQ(socket.ReceiveCapacity(), 11024);
  EXPECT_EQ(Held(), std::string(10000, 'a'));
  socket.ConsumeReceived(-1);
  EXPECT_EQ(socket.ReceiveCapacity(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(socket.ReceivedData()), "");
}

TEST_F(QSocketQueueTest, ShrinkRulesTable) {
  net.connectDone = true;
  struct Case {
    int64_t readSize, arrive, consume;
    bool keep;
    int64_t capAfter;
  } cases[] = {
      {97952, 20000, 19500, false, 1024},       // few bytes left: 1,024
      {97952, 60000, 10000, false, 100000},     // mostly full: bytes only move
      {97952, 20000, 10000, true, 100000},      // keep: bytes only move
      {3997952, 2000000, 1000000, false, 1100000},  // a large slack: left + a tenth
  };
  for (const Case& c : cases) {
    socket.ConsumeReceived(-1);
    net.incoming.assign(static_cast<size_t>(c.arrive), 'b');
    ASSERT_EQ(socket.Receive(c.readSize), c.arrive);
    socket.ConsumeReceived(c.consume, c.keep);
    EXPECT_EQ(socket.ReceiveCapacity(), c.capAfter) << c.readSize << "/" << c.consume;
    EXPECT_EQ(socket.ReceivedSize(), c.arrive - c.consume);
    EXPECT_EQ(socket.ReceivedData()[socket.ReceivedSize()], 0);
  }
}

TEST_F(QSocketQueueTest, KeepBuffersHoldsCapacity) {
  net.connectDone = true;
  socket.SetKeepBuffers(true);
  net.incoming = "xyz";
  EXPECT_EQ(socket.Receive(), 3);
  const int64_t cap = socket.ReceiveCapacity();
  socket.ConsumeReceived(-1);
  EXPECT_EQ(socket.ReceiveCapacity(), cap);
}

TEST_F(QSocketQueueTest, PeerThatNeverStopsIsCutOffAtTheReceiveLimit) {
  net.connectDone = true;
  net.endless = true;
  int64_t held = 0;
  int rounds = 0;
  while ((held = socket.Receive(int64_t{1} << 20)) > 0 && ++rounds < 100) {
    ASSERT_LE(held, QSocket::kMaxReceiveHeld);
    ASSERT_LE(socket.ReceiveCapacity(), QSocket::kMaxReceiveHeld);
  }
  EXPECT_EQ(held, -1);
  EXPECT_EQ(socket.LastError(), platform::kWsaEnobufs);
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.BytesReceived(), static_cast<uint64_t>(QSocket::kMaxReceiveHeld));
}

TEST_F(QSocketQueueTest, OrderlyCloseEndsTheSocketButKeepsQueuedBytes) {
  net.connectDone = true;
  net.sendBudget = 0;
  EXPECT_EQ(Send("pending"), 0);
  net.incoming = "last words";
  EXPECT_EQ(socket.Receive(), 10);
  net.peerClosed = true;
  EXPECT_EQ(socket.Receive(), -1);
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.ReceivedSize(), 0);
  EXPECT_EQ(socket.SendQueued(), 7);
  EXPECT_EQ(net.closes, 1);
  EXPECT_EQ(Send("more"), 0);
  EXPECT_EQ(socket.Receive(), -1);
  socket.Close();
  EXPECT_EQ(socket.SendQueued(), 0);
  EXPECT_EQ(net.closes, 1);
}

TEST_F(QSocketQueueTest, HintsMakeOneWaitSucceed) {
  EXPECT_FALSE(socket.WaitWritable(0));
  socket.SetWritableHint();
  EXPECT_TRUE(socket.WaitWritable(0));
  EXPECT_FALSE(socket.WaitWritable(0));
  socket.SetReadableHint();
  EXPECT_TRUE(socket.WaitReadable(-2));
  EXPECT_FALSE(socket.WaitReadable(-2));
}

TEST(QSocketUdp, WithoutTransportNothingOpens) {
  QSocket socket;
  EXPECT_FALSE(socket.Connect(test::Ip(10, 0, 0, 7), 6881, false, nullptr, 0, kTag));
  EXPECT_FALSE(socket.IsOpen());
}

}  // namespace
}  // namespace bw
