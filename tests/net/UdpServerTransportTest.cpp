#include "engine/net/QUInternalServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/QSocket.h"
#include "engine/net/QUdpStream.h"
#include "engine/net/RendezvousWire.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "tests/net/RendezvousProcess.h"
#include "tests/support/Require.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

constexpr int kListenPort = 6881;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::unique_ptr<QUInternalServer> MakeServer(uint8_t tagByte, int rendezvousPort, int timeoutSeconds,
                                             int localPort = test::FreeUdpPort()) {
  UdpServerConfig config;
  config.rendezvousHost = "127.0.0.1";
  config.rendezvousPort = rendezvousPort;
  config.probeIntervalSeconds = 10;
  config.timeoutSeconds = timeoutSeconds;
  config.localPort = localPort;
  config.localIp = kLoopback;
  std::memset(config.tag, tagByte, sizeof config.tag);
  auto server = std::make_unique<QUInternalServer>(config);
  EXPECT_TRUE(server->StartServer());
  return server;
}

platform::SockAddrV4 Address(const QUInternalServer& server) {
  platform::SockAddrV4 to;
  to.ip = kLoopback;
  to.port = kListenPort;
  std::memcpy(to.spare, server.Identity().data(), kUdpTagSize);
  return to;
}

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(n, 0);
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

// One direction of a transfer, moved a step at a time.
struct Flow {
  Flow(IStreamTransport& from, int fromHandle, IStreamTransport& to, int toHandle, const std::string& data)
      : from(from), fromHandle(fromHandle), to(to), toHandle(toHandle), data(data) {}

  IStreamTransport& from;
  int fromHandle;
  IStreamTransport& to;
  int toHandle;
  const std::string& data;
  size_t sent = 0;
  std::string got;

  bool Step() {
    bool moved = false;
    if (sent < data.size()) {
      const int n = from.Send(fromHandle, reinterpret_cast<const uint8_t*>(data.data()) + sent,
                              static_cast<int>(std::min<size_t>(data.size() - sent, 65536)));
      if (n > 0) sent += static_cast<size_t>(n), moved = true;
    }
    uint8_t buf[16384];
    for (int n; (n = to.Recv(toHandle, buf, sizeof buf)) > 0; moved = true) {
      got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    return moved;
  }
  bool Done() const { return got.size() >= data.size(); }
};

class UdpServerTransportTest : public ::testing::Test {
 protected:
  // b listens; a connects to it: the handles of both ends.
  // An engine has registered once the server told it its address.
  static void WaitRegistered(QUInternalServer& s) {
    for (int i = 0; i < 500 && s.PublicAddress() == 0; ++i) platform::SleepMs(10);
    ASSERT_EQ(s.PublicAddress(), kLoopback);
  }

  void Connect(QUInternalServer& a, QUInternalServer& b, int* client, int* server) {
    BW_REQUIRE(WaitRegistered(a));
    BW_REQUIRE(WaitRegistered(b));
    const int listener = b.Socket();
    platform::SockAddrV4 at;
    at.port = kListenPort;
    ASSERT_EQ(b.Bind(listener, at), 0);
    ASSERT_EQ(b.Listen(listener, 5), 0);
    *client = a.Socket();
    ASSERT_EQ(a.Connect(*client, Address(b)), -1);
    ASSERT_EQ(platform::LastSocketError(), platform::kWsaEwouldblock);
    ASSERT_EQ(b.Select(listener, platform::kWaitRead, 10000), platform::kWaitRead);
    platform::SockAddrV4 peer;
    *server = b.Accept(listener, &peer);
    ASSERT_GT(*server, 0);
    EXPECT_EQ(std::memcmp(peer.spare, a.Identity().data(), kUdpTagSize), 0);
    ASSERT_EQ(a.Select(*client, platform::kWaitWrite, 10000), platform::kWaitWrite);
  }

  // Both directions at once until both arrived or the time is up.
  void Exchange(Flow& up, Flow& down, uint32_t maxMs) {
    const uint32_t start = platform::TickCountMs();
    while (!(up.Done() && down.Done()) && platform::TickCountMs() - start < maxMs) {
      const bool moved = up.Step() | down.Step();
      if (!moved) platform::SleepMs(1);
    }
  }

  test::TempDir dir;
};

TEST_F(UdpServerTransportTest, TwoEnginesMeetThroughRendezvousAndExchangeMegabytes) {
  test::RendezvousProcess rendezvous(dir.Path() + "/rendezvous.log");
  ASSERT_GT(rendezvous.Port(), 0);
  auto a = MakeServer(0xA1, rendezvous.Port(), 30);
  auto b = MakeServer(0xB2, rendezvous.Port(), 30);
  int client = 0, server = 0;
  BW_REQUIRE(Connect(*a, *b, &client, &server));
  const std::string upData = Pattern(3 << 20, 1);
  const std::string downData = Pattern(200000, 2);
  Flow up{*a, client, *b, server, upData};
  Flow down{*b, server, *a, client, downData};
  Exchange(up, down, 120000);
  EXPECT_TRUE(up.got == upData) << up.got.size();
  EXPECT_TRUE(down.got == downData) << down.got.size();
  // Closing one end as soon as its last write was taken: the other still reads every byte, then
  // the orderly close.
  const std::string last = Pattern(QUdpStream::kSendQueueBytes, 3);
  ASSERT_EQ(a->Send(client, reinterpret_cast<const uint8_t*>(last.data()), static_cast<int>(last.size())),
            static_cast<int>(last.size()));
  EXPECT_EQ(a->Close(client), 0);
  std::string got;
  uint8_t buf[16384];
  int n = -1;
  for (const uint32_t start = platform::TickCountMs(); n != 0 && platform::TickCountMs() - start < 30000;) {
    n = b->Recv(server, buf, sizeof buf);
    if (n > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    if (n < 0) b->Select(server, platform::kWaitRead, 100);
  }
  EXPECT_TRUE(got == last) << got.size() << " of " << last.size() << " read";
  EXPECT_EQ(n, 0);
}

// Stands between two engines, passing datagrams each way through its own two sockets while it
// loses, doubles and reorders some of them.
class MisbehavingRelay {
 public:
  MisbehavingRelay(int aPort, int bPort) : aPort_(aPort), bPort_(bPort) {
    for (platform::SocketHandle* s : {&facingA_, &facingB_}) {
      *s = platform::OpenUdpSocket();
      platform::SetNonBlocking(*s, true);
      platform::SockAddrV4 at;
      at.ip = kLoopback;
      platform::Bind(*s, at);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~MisbehavingRelay() {
    stop_ = true;
    thread_.join();
    platform::CloseSocket(facingA_);
    platform::CloseSocket(facingB_);
  }

  // Tells a that b is at the relay, as b's punch packet would.
  void Punch(const UdpIdentity& a, const UdpIdentity& b) {
    const std::vector<uint8_t> m = BuildPunchPacket(a, 0, b);
    Send(facingA_, aPort_, m);
  }

  std::atomic<int> lost{0}, doubled{0}, reordered{0};

 private:
  void Send(platform::SocketHandle s, int port, const std::vector<uint8_t>& m) {
    platform::SockAddrV4 to;
    to.ip = kLoopback;
    to.port = static_cast<uint16_t>(port);
    platform::SendTo(s, m.data(), static_cast<int64_t>(m.size()), to);
  }

  void Run() {
    std::mt19937 random(7);
    std::vector<uint8_t> held;
    platform::SocketHandle heldOn = platform::kNoSocket;
    int heldPort = 0;
    uint32_t heldAt = 0;
    uint8_t buf[8192];
    while (!stop_) {
      bool any = false;
      for (platform::SocketHandle in : {facingA_, facingB_}) {
        platform::SockAddrV4 from;
        const int64_t n = platform::RecvFrom(in, buf, sizeof buf, &from);
        if (n <= 0) continue;
        any = true;
        const platform::SocketHandle out = in == facingA_ ? facingB_ : facingA_;
        const int port = in == facingA_ ? bPort_ : aPort_;
        std::vector<uint8_t> m(buf, buf + n);
        const unsigned roll = random() % 100;
        if (roll < 5) {
          ++lost;
          continue;
        }
        if (roll < 15 && held.empty()) {
          ++reordered;
          held = std::move(m);
          heldAt = platform::TickCountMs();
          heldOn = out;
          heldPort = port;
          continue;
        }
        Send(out, port, m);
        if (roll < 18) {
          ++doubled;
          Send(out, port, m);
        }
        if (!held.empty()) {
          Send(heldOn, heldPort, held);
          held.clear();
        }
      }
      // Reordering delays a datagram a little, not until the flow happens to go on.
      if (!held.empty() && platform::TickCountMs() - heldAt > 5) {
        Send(heldOn, heldPort, held);
        held.clear();
      }
      if (!any) platform::SleepMs(1);
    }
  }

  int aPort_;
  int bPort_;
  platform::SocketHandle facingA_ = platform::kNoSocket;
  platform::SocketHandle facingB_ = platform::kNoSocket;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(UdpServerTransportTest, StreamSurvivesLossDuplicatesAndReordering) {
  // Nobody answers at the rendezvous port: the relay's punch alone brings the engines together.
  const int silent = test::FreeUdpPort();
  const int aPort = test::FreeUdpPort();
  const int bPort = test::FreeUdpPort();
  auto a = MakeServer(0xA1, silent, 60, aPort);
  auto b = MakeServer(0xB2, silent, 60, bPort);
  MisbehavingRelay relay(aPort, bPort);
  const int listener = b->Socket();
  platform::SockAddrV4 at;
  at.port = kListenPort;
  ASSERT_EQ(b->Bind(listener, at), 0);
  ASSERT_EQ(b->Listen(listener, 5), 0);
  const int client = a->Socket();
  a->Connect(client, Address(*b));
  platform::SleepMs(100);
  relay.Punch(a->Identity(), b->Identity());
  ASSERT_EQ(b->Select(listener, platform::kWaitRead, 10000), platform::kWaitRead);
  const int server = b->Accept(listener, nullptr);
  ASSERT_GT(server, 0);
  ASSERT_EQ(a->Select(client, platform::kWaitWrite, 10000), platform::kWaitWrite);
  const std::string upData = Pattern(512 << 10, 4);
  const std::string downData = Pattern(100000, 5);
  Flow up{*a, client, *b, server, upData};
  Flow down{*b, server, *a, client, downData};
  Exchange(up, down, 200000);
  EXPECT_TRUE(up.got == upData) << up.got.size();
  EXPECT_TRUE(down.got == downData) << down.got.size();
  EXPECT_GT(relay.lost, 0);
  EXPECT_GT(relay.doubled, 0);
  EXPECT_GT(relay.reordered, 0);
}

TEST_F(UdpServerTransportTest, SocketsInStreamOverUdpModeConnectAcceptAndFailLikeTcp) {
  test::RendezvousProcess rendezvous(dir.Path() + "/rendezvous.log");
  ASSERT_GT(rendezvous.Port(), 0);
  auto engine = MakeServer(0xA1, rendezvous.Port(), 30);
  BW_REQUIRE(WaitRegistered(*engine));
  IStreamTransport* previous = IStreamTransport::Install(engine.get());
  const uint8_t* tag = engine->Identity().data();
  QSocket listener;
  ASSERT_TRUE(listener.Listen(kListenPort, kLoopback, tag));
  // The engine reaches its own listener through the rendezvous server like any other.
  QSocket client;
  ASSERT_TRUE(client.Connect(kLoopback, kListenPort, false, nullptr, 0, tag));
  EXPECT_TRUE(client.IsUdpMode());
  std::unique_ptr<QSocket> accepted;
  for (int i = 0; i < 1000 && !accepted; ++i) {
    accepted = listener.Accept();
    if (!accepted) platform::SleepMs(10);
  }
  ASSERT_TRUE(accepted);
  ASSERT_TRUE(client.WaitWritable(10) && client.IsConnected());
  EXPECT_EQ(std::memcmp(client.LocalTag(), tag, kUdpTagSize), 0);
  const std::string hello = "hello over the datagram stream";
  ASSERT_EQ(client.Send(hello.data(), static_cast<int64_t>(hello.size())), static_cast<int64_t>(hello.size()));
  for (int i = 0; i < 500 && accepted->ReceivedSize() < static_cast<int64_t>(hello.size()); ++i) {
    if (!accepted->WaitReadable(1) || accepted->Receive() < 0) break;
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(accepted->ReceivedData()),
                        static_cast<size_t>(accepted->ReceivedSize())),
            hello);

  // An engine the rendezvous server does not know: the connect fails, as a refused one would.
  const uint8_t unknown[kUdpTagSize] = {9, 9, 9, 9, 9, 9, 9, 9};
  QSocket lost;
  ASSERT_TRUE(lost.Connect(kLoopback, kListenPort, false, nullptr, 0, unknown));
  for (int i = 0; i < 500 && lost.IsOpen() && !lost.IsConnected(); ++i) platform::SleepMs(10);
  EXPECT_FALSE(lost.IsOpen());
  EXPECT_EQ(lost.LastError(), platform::kWsaEconnrefused);
  IStreamTransport::Install(previous);
}

// Peers from a compact list are known by address and listen port only; two engines on one
// address are each reached on their own listen port.
TEST_F(UdpServerTransportTest, EnginesOnOneAddressAreReachedByTheirListenPorts) {
  test::RendezvousProcess rendezvous(dir.Path() + "/rendezvous.log");
  ASSERT_GT(rendezvous.Port(), 0);
  auto a = MakeServer(0xA1, rendezvous.Port(), 30);
  std::unique_ptr<QUInternalServer> listening[2] = {MakeServer(0xB1, rendezvous.Port(), 30),
                                                    MakeServer(0xB2, rendezvous.Port(), 30)};
  BW_REQUIRE(WaitRegistered(*a));
  int listeners[2];
  for (int i = 0; i < 2; ++i) {
    BW_REQUIRE(WaitRegistered(*listening[i]));
    listeners[i] = listening[i]->Socket();
    platform::SockAddrV4 at;
    at.port = static_cast<uint16_t>(kListenPort + i);
    ASSERT_EQ(listening[i]->Bind(listeners[i], at), 0);
    ASSERT_EQ(listening[i]->Listen(listeners[i], 5), 0);
  }
  platform::SleepMs(500);  // both register again, now with their listen ports
  for (int i = 0; i < 2; ++i) {
    platform::SockAddrV4 to;
    to.ip = kLoopback;
    to.port = static_cast<uint16_t>(kListenPort + i);
    std::memcpy(to.spare + 2, &to.ip, 4);
    to.spare[6] = static_cast<uint8_t>(to.port >> 8);
    to.spare[7] = static_cast<uint8_t>(to.port);
    EXPECT_EQ(a->Connect(a->Socket(), to), -1);
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(listening[i]->Select(listeners[i], platform::kWaitRead, 10000), platform::kWaitRead) << i;
    platform::SockAddrV4 peer;
    EXPECT_GT(listening[i]->Accept(listeners[i], &peer), 0) << i;
    EXPECT_EQ(std::memcmp(peer.spare, a->Identity().data(), kUdpTagSize), 0);
  }
}

TEST_F(UdpServerTransportTest, PeerThatVanishesTimesOut) {
  test::RendezvousProcess rendezvous(dir.Path() + "/rendezvous.log");
  ASSERT_GT(rendezvous.Port(), 0);
  auto a = MakeServer(0xA1, rendezvous.Port(), 4);
  auto b = MakeServer(0xB2, rendezvous.Port(), 4);
  int client = 0, server = 0;
  BW_REQUIRE(Connect(*a, *b, &client, &server));
  b->StopServer();  // gone without a word
  const std::string data = Pattern(5000, 3);
  EXPECT_GT(a->Send(client, reinterpret_cast<const uint8_t*>(data.data()), 5000), 0);
  const uint32_t start = platform::TickCountMs();
  EXPECT_EQ(a->Select(client, platform::kWaitRead, 15000) & platform::kWaitError, platform::kWaitError);
  EXPECT_GE(platform::TickCountMs() - start, 3000u);
  uint8_t byte;
  EXPECT_EQ(a->Recv(client, &byte, 1), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnotconn);
}

}  // namespace
}  // namespace bw
