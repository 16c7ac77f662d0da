#pragma once
#include <cstdint>

#include "engine/sources/TPeerId.h"

namespace bw {

// Peers at this priority or more eager ones may be tried over the UDP transport.
constexpr int32_t kMaxUdpPriority = 34;

// Whether this attempt to the peer goes over the UDP transport: successive attempts rotate
// through UDP, TCP with the GET disguise and plain TCP, while the transport is usable at all;
// a peer that refused TCP is tried over UDP at once.
bool ConnectsOverUdp(const TPeerId& id, bool udpAllowed);

// The peer's TCP failed and its next attempt goes over UDP: it waits out no back-off, as the
// failure says nothing of the peer.
bool RetriesOverUdp(const TPeerId& id, bool udpAllowed);

// The 8-byte tag naming the peer's engine on the UDP transport: the first 8 bytes of the remote
// engine identifier when its peer id carries one; otherwise (a peer from a compact list or a
// source line, or another client) two zero bytes, its address and its listen port, by which the
// rendezvous server finds the engine that registered with them.
void UdpTagOf(const TPeerId& id, uint8_t* tag);

}  // namespace bw
