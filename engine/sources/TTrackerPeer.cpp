#include "engine/sources/TTrackerPeer.h"

#include <arpa/inet.h>

#include <cstring>
#include <random>

#include "engine/net/QSocket.h"
#include "engine/net/QProxyInfo.h"
#include "engine/sources/THeaderBlock.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TrackerReply.h"

namespace bw {

namespace {

constexpr size_t kConnectRequestSize = 16;
constexpr size_t kAnnounceRequestSize = 104;
// What an HTTP answer may take at most: its header and the largest body.
constexpr size_t kMaxHttpReply = static_cast<size_t>(THeaderBlock::kMaxHeaderSize + kMaxTrackerBody);

// A transaction id nobody on the path can guess: an answer must come from whoever we asked.
uint32_t RandomTransaction() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<uint32_t>(generator());
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
}

std::string PercentEncoded(const uint8_t* bytes, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = bytes[i];
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

const char* EventName(int32_t mode) {
  switch (mode) {
    case TTrackerPeer::kCompleted: return "completed";
    case TTrackerPeer::kStarted: return "started";
    default: return "stopped";
  }
}

std::string DottedQuad(uint32_t ip) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &ip, text, sizeof text);
  return text;
}

// A tracker's own words, fit for one line of the report.
std::string ReportText(const std::string& text) {
  static constexpr size_t kMaxLength = 200;
  std::string out = text.substr(0, kMaxLength);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

// ---- requests ----

std::vector<uint8_t> TTrackerPeer::EncodeUdpAnnounce(const UdpAnnounce& p) {
  std::vector<uint8_t> out;
  out.reserve(kAnnounceRequestSize);
  Put64(out, p.connectionId);
  Put32(out, p.action);
  Put32(out, p.transactionId);
  out.insert(out.end(), p.infoHash.begin(), p.infoHash.end());
  out.insert(out.end(), p.peerId.begin(), p.peerId.end());
  Put64(out, p.downloaded);
  Put64(out, p.left);
  Put64(out, p.uploaded);
  Put32(out, p.event);
  // The address goes out as it is stored: already in network order.
  const auto* ip = reinterpret_cast<const uint8_t*>(&p.ip);
  out.insert(out.end(), ip, ip + 4);
  Put32(out, p.key);
  Put32(out, p.wantedPeers);
  out.push_back(static_cast<uint8_t>(p.port >> 8));
  out.push_back(static_cast<uint8_t>(p.port));
  out.insert(out.end(), p.extra.begin(), p.extra.end());
  out.resize(kAnnounceRequestSize, 0);
  return out;
}

std::string TTrackerPeer::BuildAnnounceTarget(const std::string& path, const TAnnounceFacts& facts, int32_t mode) {
  std::string target = path.empty() ? std::string("/") : path;
  target.append("?info_hash=").append(PercentEncoded(facts.infoHash, 20));
  target.append("&peer_id=").append(PercentEncoded(facts.peerId, 20));
  target.append("&port=").append(std::to_string(facts.listenPort));
  target.append("&uploaded=").append(std::to_string(facts.uploaded));
  target.append("&downloaded=").append(std::to_string(facts.downloaded));
  target.append("&left=").append(std::to_string(facts.left));
  target.append("&event=").append(EventName(mode));
  target.append("&key=3800&compact=1&numwant=").append(std::to_string(kWantedPeers));
  return target;
}

// ---- connecting ----

bool TTrackerPeer::OverUdp() const { return PeerId() && !PeerId()->overTcp; }

bool TTrackerPeer::ConnectTo(TPeerId* peerId) {
  if (!TPeerObject::ConnectTo(peerId)) return false;
  reply.clear();
  announceTarget.clear();
  lastSendTime = 0;
  const uint64_t now = Task() ? Task()->Clock() : 0;
  lastActivity = static_cast<uint32_t>(now);
  if (OverUdp()) {
    if (!udp.Open() || !SendUdpConnect()) return false;
    workState = kActive;
    return true;
  }
  const QProxyInfo direct;
  if (!Socket()->Connect(peerId->ip, peerId->port, false, &direct)) return false;
  // The request waits in the socket until the connect completes.
  linkState = kGreeted;
  workState = kActive;
  return true;
}

bool TTrackerPeer::SendUdpConnect() {
  connectTransaction_ = RandomTransaction();
  std::vector<uint8_t> request;
  request.reserve(kConnectRequestSize);
  Put64(request, kUdpProtocolId);
  Put32(request, kUdpConnect);
  Put32(request, connectTransaction_);
  lastConnectSent_ = Task() ? Task()->Clock() : 0;
  return udp.SendTo(PeerId()->ip, PeerId()->port, request.data(), static_cast<int64_t>(request.size()));
}

bool TTrackerPeer::PlanRequests() {
  const uint64_t now = Task() ? Task()->Clock() : 0;
  lastActivity = static_cast<uint32_t>(now);
  if ((linkState == kNoLink && workState == kIdle) || workState == kFinished || !PeerId()) return false;
  if (linkState != kGreeted) {
    // A connect request without its answer is asked again under a new transaction id.
    if (OverUdp() && now >= lastConnectSent_ + kRepeatSeconds) return SendUdpConnect();
    return true;
  }
  TAnnounceFacts facts;
  // Without metadata there is nothing to announce yet; the next step tries again.
  if (!Task() || !Task()->GetAnnounceFacts(&facts)) return true;
  if (OverUdp()) {
    if (lastSendTime != 0 && now < lastSendTime + kRepeatSeconds) return true;
    lastSendTime = now;
    return SendUdpAnnounce(facts);
  }
  // One request a connection: the tracker closes it after its answer.
  if (lastSendTime != 0) return true;
  lastSendTime = now;
  return SendHttpAnnounce(facts);
}

bool TTrackerPeer::SendUdpAnnounce(const TAnnounceFacts& facts) {
  packet.action = kUdpAnnounce;
  packet.transactionId = RandomTransaction();
  std::memcpy(packet.infoHash.data(), facts.infoHash, 20);
  std::memcpy(packet.peerId.data(), facts.peerId, 20);
  packet.downloaded = facts.downloaded;
  packet.left = facts.left;
  packet.uploaded = facts.uploaded;
  packet.event = static_cast<uint32_t>(announceMode);
  packet.ip = facts.localIp;
  packet.key = 0;
  packet.wantedPeers = kWantedPeers;
  packet.port = static_cast<uint16_t>(facts.listenPort);
  const std::vector<uint8_t> bytes = EncodeUdpAnnounce(packet);
  return udp.SendTo(PeerId()->ip, PeerId()->port, bytes.data(), static_cast<int64_t>(bytes.size()));
}

bool TTrackerPeer::SendHttpAnnounce(const TAnnounceFacts& facts) {
  TUrlInfo& url = PeerId()->UrlInfo();
  if (announceTarget.empty()) announceTarget = BuildAnnounceTarget(url.path, facts, announceMode);
  // No Accept-Encoding: a compressed answer is never asked for, so none needs undoing.
  std::string request = "GET ";
  request.append(announceTarget).append(" HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: ").append(url.host);
  if (PeerId()->port != 80) request.append(":").append(std::to_string(PeerId()->port));
  request.append("\r\nConnection: close\r\n\r\n");
  reply.clear();
  return Socket()->Send(request.data(), static_cast<int64_t>(request.size())) >= 0;
}

bool TTrackerPeer::FlushOutput() {
  lastActivity = static_cast<uint32_t>(Task() ? Task()->Clock() : 0);
  QSocket* socket = Socket();
  return OverUdp() || !socket || socket->SendQueued() == 0 || socket->Flush() >= 0;
}

// ---- answers ----

bool TTrackerPeer::ReadInput() {
  const uint64_t now = Task() ? Task()->Clock() : 0;
  lastActivity = static_cast<uint32_t>(now);
  if (workState == kFinished || !PeerId()) return false;
  if (now > stats.startTime + kAnswerTimeout) return false;
  return OverUdp() ? ReadUdp() : ReadHttp();
}

bool TTrackerPeer::ReadHttp() {
  QSocket& socket = *Socket();
  // The bytes are moved out as they come: the socket drops what it holds when the tracker closes.
  bool closed = false;
  for (;;) {
    const int64_t held = socket.Receive();
    if (held < 0) {
      closed = true;
      break;
    }
    if (held == 0) break;
    if (reply.size() + static_cast<size_t>(held) > kMaxHttpReply) return false;
    reply.insert(reply.end(), socket.ReceivedData(), socket.ReceivedData() + held);
    socket.ConsumeReceived(held);
  }
  int64_t bodyStart = 0;
  int64_t bodyLength = 0;
  int32_t status = 0;
  const int64_t framed = FrameHttpTrackerReply(reinterpret_cast<const char*>(reply.data()),
                                               static_cast<int64_t>(reply.size()), closed, &bodyStart, &bodyLength,
                                               &status);
  if (framed < 0) return false;
  if (framed == 0) return true;
  TrackerAnswer answer;
  // A body that is no bencoded dictionary adds nobody but still ends the announce.
  if (!ParseTrackerBody(reinterpret_cast<const char*>(reply.data()) + bodyStart, bodyLength, &answer)) {
    answer.failureReason = "answer is no bencoded dictionary";
  }
  if (status != 200) {
    const std::string said = answer.failureReason;
    answer.failureReason = "HTTP status " + std::to_string(status) + (said.empty() ? "" : ": " + said);
  }
  UseAnswer(answer);
  return true;
}

bool TTrackerPeer::ReadUdp() {
  // A flood from the tracker's address cannot hold the task thread beyond this many a step.
  static constexpr int kDatagramsPerStep = 16;
  uint8_t datagram[kMaxDatagram];
  for (int i = 0; i < kDatagramsPerStep; ++i) {
    uint32_t fromIp = 0;
    int fromPort = 0;
    const int64_t n = udp.ReceiveFrom(datagram, sizeof datagram, &fromIp, &fromPort);
    if (n < 0) return false;
    if (n == 0) return true;
    // Only the tracker we asked may answer; anyone else's datagram is not even looked at.
    if (fromIp != PeerId()->ip || fromPort != PeerId()->port) continue;
    UdpTrackerReply parsed;
    const bool whole = ParseUdpTrackerReply(datagram, n, &parsed);
    if (whole && parsed.action == kUdpConnect && linkState != kGreeted) {
      if (parsed.transactionId != connectTransaction_) continue;
      packet.connectionId = parsed.connectionId;
      linkState = kGreeted;
      continue;
    }
    const bool answersAnnounce = n >= 8 && linkState == kGreeted && lastSendTime != 0 &&
                                 parsed.transactionId == packet.transactionId;
    if (!whole) {
      if (!answersAnnounce || parsed.action != kUdpAnnounce) return false;
      // A tracker that does not serve the torrent may send the bare head of an announce reply.
      parsed.answer.failureReason = "announce reply without figures or peers";
    }
    if (!answersAnnounce) continue;
    if (parsed.action != kUdpAnnounce && parsed.action != kUdpError) return false;
    UseAnswer(parsed.answer);
    return true;
  }
  return true;
}

void TTrackerPeer::UseAnswer(const TrackerAnswer& answer) {
  workState = kFinished;
  stats.lastDataTime = Task() ? Task()->Clock() : 0;
  if (!Task()) return;
  for (const TrackerPeer& found : answer.peers) {
    TPeerId id("btnode://" + DottedQuad(found.ip) + ":" + std::to_string(found.port));
    id.ip = found.ip;
    id.port = found.port;
    id.kind = SOURCE_BTNODE;
    id.parsed = 1;
    std::memcpy(id.peerIdBytes, found.peerId, sizeof id.peerIdBytes);
    Task()->AddSource(id);
  }
  std::string report = PeerId()->addressText + ": ";
  if (!answer.failureReason.empty()) {
    report += "failure reason \"" + ReportText(answer.failureReason) + "\"";
  } else {
    report += std::to_string(answer.peers.size()) + " peers, interval " + std::to_string(answer.interval) +
              ", done peers " + std::to_string(answer.donePeers) + ", num completed " +
              std::to_string(answer.numCompleted);
  }
  Task()->TrackerAnswered(answer.interval, report);
}

// A spare peer announces next to another tracker: a target built for the last one, with its
// byte figures, must not be sent there.
void TTrackerPeer::Reset() {
  TPeerObject::Reset();
  udp.Close();
  reply.clear();
  lastActivity = 0;
  lastSendTime = 0;
  announceTarget.clear();
  packet = UdpAnnounce{};
  connectTransaction_ = 0;
  lastConnectSent_ = 0;
}

bool TTrackerPeer::IsConnected() {
  return (linkState != kNoLink || workState != kIdle) && Socket() != nullptr;
}

}  // namespace bw
