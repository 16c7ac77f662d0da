#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bw {

// A tracker answer body above this size is refused whole.
constexpr int64_t kMaxTrackerBody = int64_t{1} << 20;
// Peers taken from one answer at most: what the announce asks for.
constexpr size_t kMaxTrackerPeers = 200;
// The re-announce interval a tracker cannot go below, and what is used instead.
constexpr int64_t kMinTrackerInterval = 61;
constexpr int64_t kDefaultTrackerInterval = 600;

// One peer a tracker named. ip in network order; port in host order.
struct TrackerPeer {
  uint32_t ip = 0;
  int32_t port = 0;
  uint8_t peerId[20] = {};
};

// What an answer told. interval is already raised to the default when the tracker asked for less.
struct TrackerAnswer {
  std::string failureReason;
  int64_t interval = kDefaultTrackerInterval;
  int64_t donePeers = 0;
  int64_t numCompleted = 0;
  std::vector<TrackerPeer> peers;
};

// Frames the HTTP answer held so far. Returns the bytes of the whole answer (header and body)
// once it is complete, 0 while more is needed, -1 for an answer that can never be used (no HTTP
// status line, a header too large, a Content-Length that is no number, a body above
// kMaxTrackerBody, or one cut short by the close). Without Content-Length the body ends with the
// connection: `closed` says it has. `status` receives the HTTP status of a framed answer.
int64_t FrameHttpTrackerReply(const char* data, int64_t held, bool closed, int64_t* bodyStart,
                              int64_t* bodyLength, int32_t* status = nullptr);

// Reads a bencoded answer body. False when the body is no dictionary; the answer then keeps its
// defaults.
bool ParseTrackerBody(const char* body, int64_t length, TrackerAnswer* answer);

// The UDP tracker protocol's replies.
enum UdpTrackerAction : uint32_t { kUdpConnect = 0, kUdpAnnounce = 1, kUdpError = 3 };

struct UdpTrackerReply {
  uint32_t action = 0;
  uint32_t transactionId = 0;
  uint64_t connectionId = 0;  // connect replies
  TrackerAnswer answer;       // announce replies; an error reply's message is its failure reason
};

// The failure reason of an error reply that carries no message.
inline constexpr const char* kUdpErrorWithoutMessage = "tracker error with no message";

// False for a datagram too short for its action (16 bytes for a connect, 20 for an announce, 8
// for an error) or of an action this client never asks for.
bool ParseUdpTrackerReply(const uint8_t* data, int64_t length, UdpTrackerReply* reply);

// The compact form: 6 bytes a peer, address then port, both big-endian; a shorter rest is ignored.
void ReadCompactPeers(const uint8_t* data, int64_t length, std::vector<TrackerPeer>* peers);

// A peer worth dialling: port 1..65535, address neither 0 nor all ones.
bool IsUsablePeer(const TrackerPeer& peer);

}  // namespace bw
