// One datagram from a UDP tracker: a reply is taken only when it is long enough for its action,
// and an announce reply names no more peers than its bytes hold nor than were asked for.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/sources/TrackerReply.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto length = static_cast<int64_t>(size);
  bw::UdpTrackerReply reply;
  if (bw::ParseUdpTrackerReply(data, length, &reply)) {
    Check(length >= 8);
    const bw::TrackerAnswer& answer = reply.answer;
    switch (reply.action) {
      case bw::kUdpConnect:
        Check(length >= 16 && answer.peers.empty());
        break;
      case bw::kUdpAnnounce:
        Check(length >= 20 && answer.interval >= bw::kMinTrackerInterval);
        Check(answer.peers.size() <= static_cast<size_t>((length - 20) / 6) &&
              answer.peers.size() <= bw::kMaxTrackerPeers);
        for (const bw::TrackerPeer& peer : answer.peers) Check(bw::IsUsablePeer(peer));
        break;
      case bw::kUdpError:
        // A reply without a message still gives a reason.
        Check(!answer.failureReason.empty() && answer.peers.empty());
        Check(length == 8 || static_cast<int64_t>(answer.failureReason.size()) == length - 8);
        break;
      default:
        Check(false);
    }
  }
  // The compact list alone, as an HTTP answer's "peers" string carries it.
  std::vector<bw::TrackerPeer> peers;
  bw::ReadCompactPeers(data, length, &peers);
  Check(peers.size() <= static_cast<size_t>(length / 6) && peers.size() <= bw::kMaxTrackerPeers);
  return 0;
}
