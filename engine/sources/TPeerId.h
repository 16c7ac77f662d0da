#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "engine/common/TRefObject.h"
#include "engine/sources/TUrlInfo.h"

namespace bw {

enum SourceKind : int32_t {
  SOURCE_BTNODE = 1,
  SOURCE_HTTP = 2,
  SOURCE_FTP = 4,
  SOURCE_TRACKER = 8,
};

// The identity of one source or peer: what it is, where it is, and how eagerly the task uses it.
class TPeerId : public TRefObject {
 public:
  TPeerId() = default;
  explicit TPeerId(std::string address) : addressText(std::move(address)) {}

  TUrlInfo& UrlInfo();
  const TUrlInfo* UrlInfoIfAny() const { return urlInfo_.get(); }

  uint8_t parsed = 0;
  uint8_t lookupFailed = 0;
  uint8_t overTcp = 0;  // trackers: 1 over HTTP/TCP, 0 over UDP
  int32_t port = 0;
  int32_t waitTicks = 0;
  // The back-off the last penalty asked for (a server's Retry-After or the reason's own): the
  // readiness test shortens a longer wait once per penalty, never below this.
  int32_t backOffFloor = 0;
  bool backOffShortened = true;
  uint64_t lastCountdown = 0;  // engine second of the last countdown step
  int32_t priority = 1;
  int32_t failures = 0;
  int32_t badPieces = 0;  // pieces in a row that failed their hash
  int32_t activeConnections = 0;
  int32_t rankB = 0;
  int32_t attempts = 0;
  // The last TCP connect to this peer was refused or timed out: the UDP transport goes next.
  bool tcpRefused = false;
  int32_t allowance = 1;
  uint8_t peerIdBytes[20] = {};
  std::string addressText;
  uint32_t ip = 0xFFFFFFFFu;  // network order; all ones when unset
  uint64_t lastAttempt = 0;
  int32_t kind = 0;
  // Bytes per second a connection to this source last delivered: a new connection starts with
  // no rate of its own.
  int64_t lastRate = 0;
  // A URL source's connections and their rate together when it last opened more (0: never).
  int32_t stepFrom = 0;
  int64_t stepRate = 0;
  // One of the task's own source lines or mirrors: retired, it comes back later instead of going.
  bool ownLine = false;
  uint64_t retiredUntil = 0;  // engine clock; 0 while not retired

 private:
  std::unique_ptr<TUrlInfo> urlInfo_;
};

}  // namespace bw
