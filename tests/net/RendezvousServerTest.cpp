// The rendezvous program, spoken to as engines speak to it: which registered engine it names for
// a wanted peer when several engines share one address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/net/RendezvousWire.h"
#include "platform/Socket.h"
#include "tests/net/RendezvousProcess.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// One engine's UDP socket on 127.0.0.1, talking to the rendezvous server.
class EngineSocket {
 public:
  EngineSocket(uint8_t tagByte, int serverPort) : socket_(platform::OpenUdpSocket()) {
    uint8_t tag[kUdpTagSize];
    std::memset(tag, tagByte, sizeof tag);
    identity_ = MakeUdpIdentity(tag);
    server_.ip = kLoopback;
    server_.port = static_cast<uint16_t>(serverPort);
    platform::SockAddrV4 at;
    at.ip = kLoopback;
    platform::Bind(socket_, at);
    platform::GetSockName(socket_, &bound_);
  }
  ~EngineSocket() { platform::CloseSocket(socket_); }

  int Port() const { return bound_.port; }
  const UdpIdentity& Identity() const { return identity_; }

  // Registers, and waits for the address reply that shows the server took it.
  bool Register(int listenPort) {
    RendezvousHeader header{kRdvRegister, identity_, 1, kLoopback, Port(), listenPort};
    Send(BuildRendezvousMessage(header, {}));
    std::vector<uint8_t> reply;
    uint32_t ip = 0;
    int port = 0;
    return Receive(&reply) && ParseAddressReply(reply.data(), reply.size(), &ip, &port) && port == Port();
  }

  // The engines the server names for one wanted peer.
  std::vector<IntroducedPeer> Introduce(const IntroducedPeer& wanted) {
    RendezvousHeader header{kRdvIntroduce, identity_, ++sequence_, kLoopback, Port()};
    Send(BuildRendezvousMessage(header, {wanted}));
    std::vector<uint8_t> reply;
    std::vector<IntroducedPeer> found;
    uint32_t sequence = 0;
    while (Receive(&reply)) {
      if (ParseIntroductionReply(reply.data(), reply.size(), identity_, &sequence, &found) && sequence == sequence_) {
        return found;
      }
    }
    ADD_FAILURE() << "no introduction reply";
    return {};
  }

 private:
  void Send(const std::vector<uint8_t>& m) {
    platform::SendTo(socket_, m.data(), static_cast<int64_t>(m.size()), server_);
  }

  bool Receive(std::vector<uint8_t>* datagram) {
    if (platform::WaitSocket(socket_, platform::kWaitRead, 5000) <= 0) return false;
    datagram->assign(8192, 0);
    platform::SockAddrV4 from;
    const int64_t n = platform::RecvFrom(socket_, datagram->data(), static_cast<int64_t>(datagram->size()), &from);
    if (n < 0) return false;
    datagram->resize(static_cast<size_t>(n));
    return true;
  }

  platform::SocketHandle socket_;
  platform::SockAddrV4 server_;
  platform::SockAddrV4 bound_;
  UdpIdentity identity_{};
  uint32_t sequence_ = 0;
};

// A peer known from a compact list: its address and listen port, no tag of its own.
IntroducedPeer ByAddress(int listenPort) {
  IntroducedPeer wanted;
  wanted.ip = kLoopback;
  std::memcpy(wanted.tag + 2, &kLoopback, 4);
  wanted.tag[6] = static_cast<uint8_t>(listenPort >> 8);
  wanted.tag[7] = static_cast<uint8_t>(listenPort);
  return wanted;
}

TEST(RendezvousServerTest, APeerKnownByAddressIsTheEngineThatRegisteredItsListenPortThere) {
  test::TempDir dir;
  test::RendezvousProcess rendezvous(dir.Path() + "/rendezvous.log");
  ASSERT_GT(rendezvous.Port(), 0);
  // Engines on one host: two name their listen ports, one names none.
  EngineSocket first(0xA1, rendezvous.Port()), second(0xA2, rendezvous.Port()), silent(0xA3, rendezvous.Port());
  EngineSocket asker(0xB0, rendezvous.Port());
  ASSERT_TRUE(first.Register(7001));
  ASSERT_TRUE(second.Register(7002));
  ASSERT_TRUE(silent.Register(0));
  ASSERT_TRUE(asker.Register(7005));

  IntroducedPeer byTag;
  std::memcpy(byTag.tag, second.Identity().data(), kUdpTagSize);
  const struct {
    const char* name;
    IntroducedPeer wanted;
    const EngineSocket* named;  // nullptr: no engine
  } cases[] = {
      {"listen port 7001", ByAddress(7001), &first},
      {"listen port 7002", ByAddress(7002), &second},
      {"a port no engine named", ByAddress(7009), &silent},
      {"the asker's own port", ByAddress(7005), nullptr},
      {"the engine's tag", byTag, &second},
  };
  for (const auto& c : cases) {
    const std::vector<IntroducedPeer> found = asker.Introduce(c.wanted);
    if (!c.named) {
      EXPECT_TRUE(found.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(found.size(), 1u) << c.name;
    EXPECT_EQ(found[0].port, c.named->Port()) << c.name;
    EXPECT_EQ(std::memcmp(found[0].tag, c.named->Identity().data(), kUdpTagSize), 0) << c.name;
  }

  // A second engine that names no listen port: which of the two is meant is anyone's guess.
  EngineSocket alsoSilent(0xA4, rendezvous.Port());
  ASSERT_TRUE(alsoSilent.Register(0));
  EXPECT_TRUE(asker.Introduce(ByAddress(7009)).empty());
  EXPECT_EQ(asker.Introduce(ByAddress(7001)).size(), 1u);
}

}  // namespace
}  // namespace bw
