// Datagrams of the stream transport over UDP in any order, with any sequence numbers, against a
// table holding a listener, a connection being made and an established one, mixed with the
// socket-like calls and the passes. Each datagram is sealed for a live handle unless the input
// says to leave it raw, so the fuzzer gets past the checksum.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/net/BigEndian.h"
#include "engine/net/UdpStreamWire.h"
#include "fuzz/FakeStreamHost.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

namespace {

constexpr uint32_t kPeerIp = 0x0100007F;
constexpr int kPeerPort = 2000;
constexpr int kListenPort = 6881;

uint32_t Take(const uint8_t*& d, size_t& n, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes && n > 0; ++i, --n) v = (v << 8) | *d++;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bw::fuzz::FakeStreamHost host(0xB2);
  bw::UdpStreamTable& t = *host.table;
  platform::SockAddrV4 at;
  at.port = kListenPort;
  const int listener = t.Socket();
  t.Bind(listener, at);
  t.Listen(listener, 8);
  const int connecting = t.Socket();
  platform::SockAddrV4 to;
  to.ip = kPeerIp;
  to.port = kListenPort;
  std::memset(to.spare, 0xA1, sizeof to.spare);
  t.Connect(connecting, to);
  bw::IntroducedPeer peer{kPeerIp, kPeerPort, {}};
  std::memset(peer.tag, 0xA1, sizeof peer.tag);
  t.HandleIntroduction(host.introductions, {peer});
  std::vector<int> handles = {listener, connecting};

  const uint8_t* d = data;
  size_t n = size;
  std::vector<uint8_t> packet;
  uint8_t buf[4096];
  while (n > 0) {
    const uint32_t op = Take(d, n, 1);
    switch (op % 8) {
      case 0: {  // a datagram
        const size_t length = std::min<size_t>(Take(d, n, 2) % 1500, n);
        packet.assign(d, d + length);
        d += length;
        n -= length;
        if (!(op & 0x80) && packet.size() >= bw::kStreamHeaderSize) {
          const uint32_t type = bw::LoadBe32(&packet[bw::kOffType]);
          const uint32_t connection =
              static_cast<uint32_t>(handles[(op >> 3) % handles.size()]);
          bw::SealStreamPacket(packet.data(), static_cast<uint32_t>(packet.size()), connection,
                               bw::LoadBe32(&packet[bw::kOffSequence]), type, host.identity.data());
        }
        t.HandlePacket(packet.data(), packet.size(), kPeerIp, kPeerPort);
        break;
      }
      case 1: {
        const int h = t.Accept(listener, nullptr);
        if (h > 0) handles.push_back(h);
        break;
      }
      case 2:
        for (int h : handles) {
          const int got = t.Recv(h, buf, static_cast<int>(Take(d, n, 2) % sizeof buf) + 1);
          Check(got <= static_cast<int>(sizeof buf));
        }
        break;
      case 3:
        for (int h : handles) {
          const int put = t.Send(h, buf, static_cast<int>(Take(d, n, 2) % sizeof buf) + 1);
          Check(put <= static_cast<int>(sizeof buf));
        }
        break;
      case 4:
        host.now += Take(d, n, 2);
        t.RetransmissionPass();
        t.AcknowledgementPass();
        break;
      case 5:
        host.now += Take(d, n, 2) * 10;
        t.Maintenance();
        break;
      case 6:
        for (int h : handles) t.Readiness(h, platform::kWaitRead | platform::kWaitWrite);
        break;
      case 7:
        if (handles.size() > 2) {
          t.Close(handles.back());
          handles.pop_back();
        }
        break;
    }
  }
  return 0;
}
