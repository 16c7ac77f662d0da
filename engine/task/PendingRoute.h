#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace bw {

// What becomes of an accepted connection that no task has claimed yet, from the bytes it sent
// and its age.
enum class PendingVerdict {
  kWait,         // leave it for a later round (or another task)
  kOwn,          // its handshake names the asking task's info hash
  kUnknownHash,  // a handshake naming a hash no task serves
  kExpired,      // it said too little in its time
};

struct PendingRules {
  static constexpr size_t kReadUpTo = 1092;         // read on while fewer bytes than this arrived
  static constexpr size_t kReadStep = 1024;
  static constexpr size_t kHandshakePrefix = 48;    // protocol text and info hash
  static constexpr uint64_t kPatienceMs = 3000;
  static constexpr uint64_t kLongPatienceMs = 5000;  // once more than a handshake arrived
  static constexpr size_t kLongPatienceBytes = 67;
  static constexpr size_t kSweepAbove = 32;          // pending connections before a sweep
  static constexpr uint64_t kSweepSilentMs = 1000;
  static constexpr size_t kSweepSilentBytes = 68;
};

// ownHash: the asking task's 20-byte info hash, null while it has none. knownHash tells whether
// some task serves a hash. A handshake may follow an HTTP header that disguises it.
PendingVerdict RoutePending(const uint8_t* data, size_t len, uint64_t ageMs, const uint8_t* ownHash,
                            const std::function<bool(const uint8_t* hash)>& knownHash);

// Whether a sweep of a crowded pending list closes a connection of this age and size.
bool SweptAway(size_t len, uint64_t ageMs);

// Where the handshake begins after a disguising header; -1 while the header is incomplete.
int64_t HandshakeOffset(const uint8_t* data, size_t len);

}  // namespace bw
