#include "engine/sources/TrackerReply.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/sources/THeaderBlock.h"
#include "engine/storage/QElement.h"

namespace bw {

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t ReadU64(const uint8_t* p) { return (uint64_t{ReadU32(p)} << 32) | ReadU32(p + 4); }

int64_t Interval(int64_t asked) { return asked < kMinTrackerInterval ? kDefaultTrackerInterval : asked; }

int64_t Positive(const QElement* e) { return e && e->Value() > 0 ? e->Value() : 0; }

// A dictionary entry of the peer list; false when its address or port is unusable.
bool ReadPeerEntry(const QElement& entry, TrackerPeer* peer) {
  const QElement* port = entry.FindValue("port");
  const QElement* ip = entry.FindValue("ip");
  if (!port || !port->HasAnInteger() || !ip || ip->GetType() != QElement::kStringType) return false;
  if (port->Value() < 1 || port->Value() > 65535) return false;
  const std::string address(ip->ByteView());
  in_addr parsed{};
  if (address.find('\0') != std::string::npos || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  peer->ip = parsed.s_addr;
  peer->port = static_cast<int32_t>(port->Value());
  const QElement* id = entry.FindValue("peer id");
  if (id && id->GetType() == QElement::kStringType && id->Length() >= 20) {
    std::memcpy(peer->peerId, id->Bytes(), 20);
  } else {
    // Without its own id the peer is told apart by where it is.
    std::memcpy(peer->peerId + 12, &peer->ip, 4);
    const uint32_t port32 = static_cast<uint32_t>(peer->port);
    std::memcpy(peer->peerId + 16, &port32, 4);
  }
  return IsUsablePeer(*peer);
}

}  // namespace

bool IsUsablePeer(const TrackerPeer& peer) {
  return peer.port >= 1 && peer.port <= 65535 && peer.ip != 0 && peer.ip != 0xFFFFFFFFu;
}

void ReadCompactPeers(const uint8_t* data, int64_t length, std::vector<TrackerPeer>* peers) {
  for (int64_t at = 0; at + 6 <= length && peers->size() < kMaxTrackerPeers; at += 6) {
    TrackerPeer peer;
    std::memcpy(&peer.ip, data + at, 4);
    peer.port = (data[at + 4] << 8) | data[at + 5];
    std::memcpy(peer.peerId + 14, data + at, 6);
    if (IsUsablePeer(peer)) peers->push_back(peer);
  }
}

int64_t FrameHttpTrackerReply(const char* data, int64_t held, bool closed, int64_t* bodyStart,
                              int64_t* bodyLength, int32_t* status) {
  THeaderBlock header;
  const int64_t headerEnd = header.Parse(data, held);
  if (headerEnd == THeaderBlock::kMalformed) return -1;
  if (headerEnd == THeaderBlock::kIncomplete) return closed ? -1 : 0;
  // Whatever answered is no web server: nothing it sends can be trusted to be an answer.
  if (header.status == 0) return -1;
  const int64_t bodyHeld = held - headerEnd;
  int64_t length = bodyHeld;
  if (header.Has("Content-Length")) {
    length = header.ContentLength();
    if (length < 0 || length > kMaxTrackerBody) return -1;
    if (bodyHeld < length) return closed ? -1 : 0;
  } else {
    if (bodyHeld > kMaxTrackerBody) return -1;
    if (!closed) return 0;
  }
  *bodyStart = headerEnd;
  *bodyLength = length;
  if (status) *status = header.status;
  return headerEnd + length;
}

bool ParseTrackerBody(const char* body, int64_t length, TrackerAnswer* answer) {
  if (!body || length <= 0 || length > kMaxTrackerBody) return false;
  const std::unique_ptr<QElement> root = ParseElement(body, length);
  if (!root || root->GetType() != QElement::kDictionaryType) return false;
  if (const QElement* failure = root->FindValue("failure reason");
      failure && failure->GetType() == QElement::kStringType) {
    answer->failureReason = std::string(failure->ByteView());
  }
  const QElement* interval = root->FindValue("interval");
  answer->interval = Interval(interval && interval->HasAnInteger() ? interval->Value() : 0);
  answer->donePeers = Positive(root->FindValue("done peers"));
  answer->numCompleted = Positive(root->FindValue("num completed"));
  const QElement* peers = root->FindValue("peers");
  if (!peers) return true;
  if (peers->GetType() == QElement::kStringType) {
    ReadCompactPeers(reinterpret_cast<const uint8_t*>(peers->Bytes()), peers->Length(), &answer->peers);
  } else if (peers->GetType() == QElement::kListType) {
    for (int64_t i = 0; i < peers->Count() && answer->peers.size() < kMaxTrackerPeers; ++i) {
      const QElement* entry = peers->ChildAt(i);
      TrackerPeer peer;
      if (entry && entry->GetType() == QElement::kDictionaryType && ReadPeerEntry(*entry, &peer)) {
        answer->peers.push_back(peer);
      }
    }
  }
  return true;
}

bool ParseUdpTrackerReply(const uint8_t* data, int64_t length, UdpTrackerReply* reply) {
  if (!data || length < 8) return false;
  reply->action = ReadU32(data);
  reply->transactionId = ReadU32(data + 4);
  switch (reply->action) {
    case kUdpConnect:
      if (length < 16) return false;
      reply->connectionId = ReadU64(data + 8);
      return true;
    case kUdpAnnounce:
      if (length < 20) return false;
      reply->answer.interval = Interval(ReadU32(data + 8));
      ReadCompactPeers(data + 20, length - 20, &reply->answer.peers);
      return true;
    case kUdpError:
      reply->answer.failureReason.assign(reinterpret_cast<const char*>(data + 8), static_cast<size_t>(length - 8));
      // The report must still say why the announce failed.
      if (reply->answer.failureReason.empty()) reply->answer.failureReason = kUdpErrorWithoutMessage;
      return true;
    default:
      return false;
  }
}

}  // namespace bw
