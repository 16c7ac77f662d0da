#include "engine/net/RendezvousWire.h"

#include <algorithm>
#include <cstring>

#include "engine/net/BigEndian.h"
#include "engine/net/NetAddress.h"

namespace bw {
namespace {

uint32_t RawAddress(const uint8_t* at) {
  uint32_t ip;
  std::memcpy(&ip, at, 4);
  return ip;
}

bool ValidPort(uint32_t port) { return port >= 1 && port <= 65535; }

bool AllZero(const uint8_t* d, size_t n) {
  return std::all_of(d, d + n, [](uint8_t b) { return b == 0; });
}

}  // namespace

std::vector<uint8_t> BuildRendezvousMessage(const RendezvousHeader& header,
                                            const std::vector<IntroducedPeer>& peers) {
  const size_t count = std::min<size_t>(peers.size(), kMaxIntroductionEntries);
  const bool withEntries = header.type == kRdvIntroduce || header.type == kRdvIntroduceReply;
  std::vector<uint8_t> m(kRendezvousHeaderSize + (withEntries ? count * kIntroductionEntrySize : 0));
  StoreBe32(&m[12], header.type);
  std::memcpy(&m[16], header.identity.data(), kUdpIdentitySize);
  StoreBe32(&m[28], header.sequence);
  std::memcpy(&m[32], &header.localIp, 4);
  StoreBe32(&m[36], static_cast<uint32_t>(header.localPort));
  if (header.type == kRdvIntroduce) StoreBe32(&m[40], 1);
  if (header.type == kRdvRegister) StoreBe32(&m[40], static_cast<uint32_t>(header.listenPort));
  if (!withEntries) return m;
  StoreBe32(&m[44], static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* e = &m[kRendezvousHeaderSize + i * kIntroductionEntrySize];
    std::memcpy(e, &peers[i].ip, 4);
    StoreBe32(e + 4, static_cast<uint32_t>(peers[i].port));
    std::memcpy(e + 8, peers[i].tag, kUdpTagSize);
  }
  return m;
}

bool ParseRendezvousMessage(const uint8_t* d, size_t n, RendezvousHeader* header,
                            std::vector<IntroducedPeer>* peers) {
  if (n < kRendezvousHeaderSize || LoadBe32(d) != 0) return false;
  header->type = LoadBe32(d + 12);
  if (header->type != kRdvRegister && header->type != kRdvIntroduce && header->type != kRdvIntroduceReply) {
    return false;
  }
  std::memcpy(header->identity.data(), d + 16, kUdpIdentitySize);
  header->sequence = LoadBe32(d + 28);
  header->localIp = RawAddress(d + 32);
  const uint32_t port = LoadBe32(d + 36);
  header->localPort = ValidPort(port) ? static_cast<int>(port) : 0;
  peers->clear();
  if (header->type == kRdvRegister) {
    const uint32_t listenPort = LoadBe32(d + 40);
    header->listenPort = ValidPort(listenPort) ? static_cast<int>(listenPort) : 0;
    return true;
  }
  const size_t room = (n - kRendezvousHeaderSize) / kIntroductionEntrySize;
  const size_t count = std::min<size_t>({LoadBe32(d + 44), room, kMaxIntroductionEntries});
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = d + kRendezvousHeaderSize + i * kIntroductionEntrySize;
    IntroducedPeer peer;
    peer.ip = RawAddress(e);
    const uint32_t entryPort = LoadBe32(e + 4);
    peer.port = ValidPort(entryPort) ? static_cast<int>(entryPort) : 0;
    std::memcpy(peer.tag, e + 8, kUdpTagSize);
    peers->push_back(peer);
  }
  return true;
}

bool ParseIntroductionReply(const uint8_t* d, size_t n, const UdpIdentity& own, uint32_t* sequence,
                            std::vector<IntroducedPeer>* peers) {
  RendezvousHeader header;
  if (!ParseRendezvousMessage(d, n, &header, peers) || header.type != kRdvIntroduceReply ||
      header.identity != own) {
    return false;
  }
  *sequence = header.sequence;
  peers->erase(std::remove_if(peers->begin(), peers->end(),
                              [](const IntroducedPeer& p) {
                                return (p.ip == kNoAddress && IsUnknownUdpTag(p.tag)) ||
                                       p.port == 0 || p.ip == 0;
                              }),
               peers->end());
  return true;
}

bool IsAddressProbe(const uint8_t* d, size_t n) { return n == kAddressProbeSize && AllZero(d, n); }

std::vector<uint8_t> BuildAddressReply(uint32_t ip, int port) {
  std::vector<uint8_t> m(kAddressProbeSize);
  std::memcpy(&m[0], &ip, 4);
  StoreBe32(&m[4], static_cast<uint32_t>(port));
  return m;
}

bool ParseAddressReply(const uint8_t* d, size_t n, uint32_t* ip, int* port) {
  if (n != kAddressProbeSize) return false;
  *ip = RawAddress(d);
  const uint32_t p = LoadBe32(d + 4);
  *port = ValidPort(p) ? static_cast<int>(p) : 0;
  return true;
}

std::vector<uint8_t> BuildPunchRequest(const UdpIdentity& requester, uint32_t ip, int port) {
  std::vector<uint8_t> m(kPunchRequestSize);
  StoreBe32(&m[0], kRdvPunchRequest);
  std::memcpy(&m[4], requester.data(), kUdpIdentitySize);
  std::memcpy(&m[20], &ip, 4);
  StoreBe32(&m[24], static_cast<uint32_t>(port));
  return m;
}

bool ParsePunchRequest(const uint8_t* d, size_t n, UdpIdentity* requester, uint32_t* ip, int* port) {
  if (n < kPunchRequestSize || LoadBe32(d) != kRdvPunchRequest) return false;
  std::memcpy(requester->data(), d + 4, kUdpIdentitySize);
  *ip = RawAddress(d + 20);
  const uint32_t p = LoadBe32(d + 24);
  if (!ValidPort(p) || *ip == 0 || *ip == kNoAddress) return false;
  *port = static_cast<int>(p);
  return true;
}

std::vector<uint8_t> BuildPunchPacket(const UdpIdentity& receiver, int senderPort,
                                      const UdpIdentity& sender) {
  std::vector<uint8_t> m(kPunchPacketSize);
  std::memcpy(&m[20], receiver.data(), kUdpIdentitySize);
  m[32] = static_cast<uint8_t>(senderPort >> 8);
  m[33] = static_cast<uint8_t>(senderPort);
  std::memcpy(&m[36], sender.data(), kUdpIdentitySize);
  return m;
}

bool ParsePunchPacket(const uint8_t* d, size_t n, const UdpIdentity& own, UdpIdentity* sender) {
  if (n < kPunchPacketSize || !AllZero(d, 20) ||
      std::memcmp(d + 20, own.data(), kUdpTagSize) != 0) {
    return false;
  }
  std::memcpy(sender->data(), d + 36, kUdpIdentitySize);
  return true;
}

}  // namespace bw
