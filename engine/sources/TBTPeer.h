#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "engine/sources/TPeerObject.h"

namespace bw {

// The peer wire state of one BitTorrent connection, as a new connection starts it.
struct TBTWireState {
  static constexpr size_t kHandshakeSize = 68;

  // What GetStats reports for this kind.
  struct StatsRecord {
    int32_t haveMessages = 0;  // have messages received in the current rate window
  };

  std::array<uint8_t, kHandshakeSize> handshake{};
  // One bit per piece, the most significant bit of byte 0 for piece 0.
  std::vector<uint8_t> remoteHave;
  // Pieces not to be chosen for this peer, bits as in remoteHave.
  std::vector<uint8_t> triedPieces;
  StatsRecord statsRecord;
  bool amInterested = false;
  bool amChoking = true;
  bool peerChoking = true;  // the remote side starts out choking us
  bool nothingToOffer = false;
  uint64_t nothingToOfferSince = 0;
  int32_t haveCount = 0;
  int32_t haveCountAtBitfield = 0;
  int32_t lastHaveIndex = -1;
  bool receivingPiece = false;
  // Engine-clock seconds, 0 for not set.
  uint64_t chokedSince = 0;
  uint64_t seedSince = 0;
  uint64_t lastPlanTime = 0;
  bool flushToggle = false;
};

// A BitTorrent peer: one remote side of the swarm. Requests put on the wire are the base's
// requests marked as sent.
class TBTPeer : public TPeerObject, public TBTWireState {
 public:
  explicit TBTPeer(IPeerTask* task) : TPeerObject(1, task) {}

  bool ConnectTo(TPeerId* peerId) override;
  bool ReadInput() override;
  void Reset() override;
  std::span<const uint8_t> RemoteHave() const override { return remoteHave; }
  std::span<const uint8_t> ExcludedPieces() const override { return triedPieces; }
};

}  // namespace bw
