// Datagrams from the rendezvous server (or anyone) as the engine's rendezvous client reads them:
// address replies, introduction replies (bounded entries), punch requests and punch packets, with
// connections waiting for an introduction so that the replies reach them; and requests as the
// rendezvous server reads them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/net/RendezvousClient.h"
#include "engine/net/RendezvousWire.h"
#include "fuzz/FakeStreamHost.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

namespace {
constexpr uint32_t kServerIp = 0x0200007F;
constexpr int kServerPort = 3478;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t sequence = 0;
  std::vector<bw::IntroducedPeer> peers;
  bw::fuzz::FakeStreamHost host(0xB2);
  if (bw::ParseIntroductionReply(data, size, host.identity, &sequence, &peers)) {
    Check(peers.size() <= bw::kMaxIntroductionEntries);
    Check(size >= bw::kRendezvousHeaderSize + peers.size() * bw::kIntroductionEntrySize);
    for (const bw::IntroducedPeer& p : peers) Check(p.port >= 1 && p.port <= 65535);
  }
  // As the rendezvous server reads them.
  bw::RendezvousHeader header;
  if (bw::ParseRendezvousMessage(data, size, &header, &peers)) {
    Check(peers.size() <= bw::kMaxIntroductionEntries);
    Check(header.localPort >= 0 && header.localPort <= 65535);
  }
  uint32_t ip = 0;
  int port = 0;
  if (bw::ParseAddressReply(data, size, &ip, &port)) Check(port >= 0 && port <= 65535);
  bw::UdpIdentity identity;
  if (bw::ParsePunchRequest(data, size, &identity, &ip, &port)) Check(port >= 1 && port <= 65535);
  bw::ParsePunchPacket(data, size, host.identity, &identity);

  // The same bytes through the client, cut into datagrams, some from the server's address.
  bw::QUdpSocket closed;
  bw::RendezvousClient client(closed, host.identity);
  client.SetServer(kServerIp, kServerPort);
  for (int i = 0; i < 3; ++i) {
    const int s = host.table->Socket();
    platform::SockAddrV4 to;
    to.ip = 0x0100007F;
    to.port = static_cast<uint16_t>(6881 + i);
    std::memset(to.spare, i == 2 ? 0 : 0xA1 + i, sizeof to.spare);
    host.table->Connect(s, to);
  }
  size_t offset = 0;
  while (offset + 3 <= size) {
    const bool fromServer = data[offset] & 1;
    const size_t length = std::min<size_t>((data[offset + 1] << 8 | data[offset + 2]) % 600, size - offset - 3);
    const uint8_t* d = data + offset + 3;
    client.Handle(d, length, fromServer ? kServerIp : 0x0100007F, fromServer ? kServerPort : 2000,
                  *host.table);
    offset += 3 + length;
  }
  client.PunchPass();
  return 0;
}
