#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/net/NetAddress.h"
#include "engine/net/QSocket.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/SocketPump.h"

namespace bw {
namespace {

using test::HeldText;
using test::Loopback;
using test::LoopbackServer;
using test::ReceiveAtLeast;
using test::SendText;

TEST(QSocketTcp, ConnectSendAndReceiveThroughAnEchoServer) {
  LoopbackServer echo(test::Echo);
  QSocket s;
  ASSERT_TRUE(s.Connect(Loopback(), echo.Port()));
  EXPECT_TRUE(s.IsReady());
  EXPECT_GE(SendText(s, "hello"), 0);
  ASSERT_EQ(ReceiveAtLeast(s, 5), 5);
  EXPECT_EQ(HeldText(s), "hello");
  EXPECT_EQ(s.BytesSent(), 5u);
  EXPECT_EQ(s.BytesReceived(), 5u);
  EXPECT_EQ(s.RemoteAddress(), Loopback());
  EXPECT_EQ(s.RemotePort(), echo.Port());
  EXPECT_EQ(s.LocalAddressText(), "127.0.0.1");
  EXPECT_NE(s.LocalPort(), 0u);
  EXPECT_NE(s.ConnectedAt(), 0u);
}

TEST(QSocketTcp, ConnectHostLocalhostNeedsNoNameServer) {
  LoopbackServer echo(test::Echo);
  QSocket s;
  ASSERT_TRUE(s.ConnectHost("localhost", echo.Port()));
  EXPECT_EQ(s.HostText(), "localhost");
  SendText(s, "ping");
  EXPECT_EQ(ReceiveAtLeast(s, 4), 4);
}

TEST(QSocketTcp, BadTargetsAreRefusedBeforeAnySocketOpens) {
  QSocket s;
  EXPECT_FALSE(s.Connect(0, 80));
  EXPECT_FALSE(s.Connect(kNoAddress, 80));
  EXPECT_FALSE(s.Connect(Loopback(), 0));
  EXPECT_FALSE(s.Connect(Loopback(), 65536));
  EXPECT_FALSE(s.IsOpen());
  EXPECT_EQ(s.Send("x", 1), 0);
  EXPECT_EQ(s.Receive(), -1);
  EXPECT_FALSE(s.Listen(0));
}

TEST(QSocketTcp, RefusedConnectShowsAsErrorNotAsConnection) {
  QSocket s;
  const uint16_t port = test::FreePort();
  if (!s.Connect(Loopback(), port)) {
    EXPECT_EQ(s.LastError(), platform::kWsaEconnrefused);
    return;
  }
  int64_t r = 0;
  for (int i = 0; i < 100 && (r = s.Receive()) == 0; ++i) s.WaitWritable(1);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(s.LastError(), platform::kWsaEconnrefused);
  EXPECT_FALSE(s.IsConnected());
}

TEST(QSocketTcp, ListenAcceptAndTalkBothWays) {
  QSocket listener;
  const uint16_t port = test::FreePort();
  ASSERT_TRUE(listener.Listen(port, Loopback()));
  EXPECT_TRUE(listener.IsListening());
  EXPECT_EQ(listener.LocalPort(), port);
  EXPECT_FALSE(listener.IsConnected());
  EXPECT_EQ(listener.Accept(), nullptr);  // nobody yet, and the listener stays

  QSocket client;
  ASSERT_TRUE(client.Connect(Loopback(), port));
  ASSERT_TRUE(listener.WaitReadable(5));
  std::unique_ptr<QSocket> served = listener.Accept();
  ASSERT_NE(served, nullptr);
  EXPECT_TRUE(listener.IsListening());
  EXPECT_TRUE(served->IsReady());
  EXPECT_TRUE(served->IsConnected());
  EXPECT_EQ(served->HostText(), "127.0.0.1");
  EXPECT_EQ(served->LocalPort(), port);
  ASSERT_TRUE(client.IsConnected() || client.WaitWritable(5));
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(static_cast<uint32_t>(served->RemotePort()), client.LocalPort());

  SendText(client, "request");
  ASSERT_EQ(ReceiveAtLeast(*served, 7), 7);
  EXPECT_EQ(HeldText(*served), "request");
  SendText(*served, "answer!!");
  ASSERT_EQ(ReceiveAtLeast(client, 8), 8);
  EXPECT_EQ(HeldText(client), "answer!!");

  served->Close();
  EXPECT_EQ(ReceiveAtLeast(client, 100), -1);  // orderly close by the peer
  EXPECT_FALSE(client.IsOpen());
}

TEST(QSocketTcp, ListenOnAPortInUseFails) {
  QSocket first, second;
  const uint16_t port = test::FreePort();
  ASSERT_TRUE(first.Listen(port, Loopback()));
  EXPECT_FALSE(second.Listen(port, Loopback()));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_FALSE(second.IsListening());
}

TEST(QSocketTcp, BlockingSendDeliversEverything) {
  std::atomic<int64_t> drained{0};
  LoopbackServer sink([&](int fd) {
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) drained += n;
  });
  QSocket s;
  ASSERT_TRUE(s.Connect(Loopback(), sink.Port(), true));
  EXPECT_TRUE(s.IsConnected());
  const std::string big(4 << 20, 'z');
  EXPECT_EQ(SendText(s, big), static_cast<int64_t>(big.size()));
  EXPECT_EQ(s.SendQueued(), 0);
  s.Close();
  for (int i = 0; i < 500 && drained < static_cast<int64_t>(big.size()); ++i) platform::SleepMs(10);
  EXPECT_EQ(drained.load(), static_cast<int64_t>(big.size()));
}

TEST(QSocketTcp, NonBlockingSendQueuesWhatTheNetworkCannotTake) {
  std::atomic<bool> release{false};
  std::atomic<int64_t> drained{0};
  LoopbackServer slow([&](int fd) {
    while (!release) platform::SleepMs(5);
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) drained += n;
  });
  QSocket s;
  ASSERT_TRUE(s.Connect(Loopback(), slow.Port()));
  ASSERT_TRUE(s.WaitWritable(5));
  const std::string big(16 << 20, 'y');
  const int64_t now = SendText(s, big);
  ASSERT_GE(now, 0);
  EXPECT_LT(now, static_cast<int64_t>(big.size()));
  EXPECT_EQ(s.SendQueued(), static_cast<int64_t>(big.size()) - now);
  release = true;
  int64_t total = now;
  for (int i = 0; i < 1000 && s.SendQueued() > 0; ++i) {
    s.WaitWritable(1);
    const int64_t w = s.Flush();
    ASSERT_GE(w, 0);
    total += w;
  }
  EXPECT_EQ(total, static_cast<int64_t>(big.size()));
  EXPECT_EQ(s.BytesSent(), big.size());
}

}  // namespace
}  // namespace bw
