#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/net/UdpIdentity.h"

namespace bw {

// The messages between engines and the rendezvous server (both sides: the server program reads
// and writes them with these too), and the punch packets engines send each other to open their
// NAT mappings. Addresses are in network order, other numbers big-endian.
constexpr int kAddressProbeSize = 8;
constexpr int kRendezvousHeaderSize = 64;
constexpr int kIntroductionEntrySize = 16;
constexpr int kMaxIntroductionEntries = 12;
constexpr int kPunchRequestSize = 32;
constexpr int kPunchPacketSize = 48;

enum RendezvousType : uint32_t {
  kRdvRegister = 2,
  kRdvIntroduce = 3,
  kRdvIntroduceReply = 0x80000003,
  kRdvPunchRequest = 0x33333333,
};

// An entry of an introduction: where an engine with this tag can be reached (a request leaves
// the port 0).
struct IntroducedPeer {
  uint32_t ip = 0;
  int port = 0;
  uint8_t tag[kUdpTagSize] = {};
};

// What an engine says of itself in a register or introduce message.
struct RendezvousHeader {
  uint32_t type = 0;
  UdpIdentity identity{};
  uint32_t sequence = 0;
  uint32_t localIp = 0;
  int localPort = 0;
  // Register only: the port the engine's stream listener takes connections on (its BitTorrent
  // listen port), which a peer from a compact list is known by; 0 when it listens on none.
  int listenPort = 0;
};

// Register, introduce and introduction reply: the 64-byte header, then (introduce and reply) at
// most 12 entries.
std::vector<uint8_t> BuildRendezvousMessage(const RendezvousHeader& header,
                                            const std::vector<IntroducedPeer>& peers);
// Any of those three; the entries as many as the message says, its length holds and 12 allow.
bool ParseRendezvousMessage(const uint8_t* d, size_t n, RendezvousHeader* header,
                            std::vector<IntroducedPeer>* peers);
// An introduction reply for the engine with this identity. Placeholder entries are left out.
bool ParseIntroductionReply(const uint8_t* d, size_t n, const UdpIdentity& own, uint32_t* sequence,
                            std::vector<IntroducedPeer>* peers);

bool IsAddressProbe(const uint8_t* d, size_t n);
std::vector<uint8_t> BuildAddressReply(uint32_t ip, int port);
bool ParseAddressReply(const uint8_t* d, size_t n, uint32_t* ip, int* port);
std::vector<uint8_t> BuildPunchRequest(const UdpIdentity& requester, uint32_t ip, int port);
bool ParsePunchRequest(const uint8_t* d, size_t n, UdpIdentity* requester, uint32_t* ip, int* port);

std::vector<uint8_t> BuildPunchPacket(const UdpIdentity& receiver, int senderPort,
                                      const UdpIdentity& sender);
// A punch packet for the engine with this tag; the sender's identity into *sender.
bool ParsePunchPacket(const uint8_t* d, size_t n, const UdpIdentity& own, UdpIdentity* sender);

}  // namespace bw
