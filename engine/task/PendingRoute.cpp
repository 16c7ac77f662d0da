#include "engine/task/PendingRoute.h"

#include <cstring>

#include "engine/sources/BTWire.h"

namespace bw {

int64_t HandshakeOffset(const uint8_t* data, size_t len) { return btwire::DisguiseLength(data, len); }

PendingVerdict RoutePending(const uint8_t* data, size_t len, uint64_t ageMs, const uint8_t* ownHash,
                            const std::function<bool(const uint8_t* hash)>& knownHash) {
  const int64_t skip = HandshakeOffset(data, len);
  if (skip >= 0 && len - static_cast<size_t>(skip) >= PendingRules::kHandshakePrefix) {
    const uint8_t* handshake = data + skip;
    const size_t rest = len - static_cast<size_t>(skip);
    if (ownHash && btwire::NamesHash(handshake, rest, ownHash)) return PendingVerdict::kOwn;
    static constexpr char kProtocol[] = "BitTorrent protocol";
    const bool named = handshake[0] == 19 && std::memcmp(handshake + 1, kProtocol, 19) == 0;
    // Another task may still claim a hash it serves; anything else starting like a handshake
    // is of no use to any task.
    if (handshake[0] == 19 && !(named && knownHash && knownHash(handshake + btwire::kHashAt))) {
      return PendingVerdict::kUnknownHash;
    }
  }
  if (ageMs < PendingRules::kPatienceMs) return PendingVerdict::kWait;
  if (ageMs < PendingRules::kLongPatienceMs && len > PendingRules::kLongPatienceBytes) return PendingVerdict::kWait;
  return PendingVerdict::kExpired;
}

bool SweptAway(size_t len, uint64_t ageMs) {
  return ageMs > PendingRules::kPatienceMs ||
         (ageMs > PendingRules::kSweepSilentMs && len < PendingRules::kSweepSilentBytes);
}

}  // namespace bw
