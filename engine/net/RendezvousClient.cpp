#include "engine/net/RendezvousClient.h"

#include <algorithm>
#include <cstring>

#include "engine/net/NetAddress.h"
#include "engine/net/UdpStreamTable.h"

namespace bw {
namespace {
constexpr size_t kMaxOutstanding = 2048;
constexpr size_t kMaxPunches = 512;
constexpr int kPunchesPerPeer = 3;
}  // namespace

void RendezvousClient::SetServer(uint32_t ip, int port) {
  serverIp_ = ip;
  serverPort_ = port;
}

void RendezvousClient::SetLocalEndpoint(uint32_t ip, int port) {
  localIp_ = ip;
  localPort_ = port;
}

void RendezvousClient::ClearPublicAddress() {
  publicIp_ = 0;
  publicPort_ = 0;
}

bool RendezvousClient::SendToServer(const std::vector<uint8_t>& m) {
  if (serverIp_ == 0 || serverIp_ == kNoAddress) return false;
  return socket_.SendTo(serverIp_, serverPort_, m.data(), static_cast<int64_t>(m.size()));
}

void RendezvousClient::Introduce(QUdpStream& stream) {
  // A peer known only by address and listen port goes in a request of its own: the server finds
  // the engine by both, but the reply names it by its tag and address only, so its message
  // number alone tells which listen port it answers.
  const bool alone = IsUnknownUdpTag(stream.remoteIdentity.data());
  if (alone) FlushIntroductions();
  if (batch_.empty()) {
    batchSequence_ = ++messageCounter_;
    if (outstanding_.size() > kMaxOutstanding) outstanding_.clear();
    outstanding_.push_back(batchSequence_);
  }
  IntroducedPeer wanted;
  wanted.ip = stream.remoteIp;
  std::memcpy(wanted.tag, stream.remoteIdentity.data(), kUdpTagSize);
  batch_.push_back(wanted);
  stream.introductionSequence = batchSequence_;
  if (alone || batch_.size() >= static_cast<size_t>(kMaxIntroductionEntries)) FlushIntroductions();
}

void RendezvousClient::FlushIntroductions() {
  if (batch_.empty()) return;
  RendezvousHeader header{kRdvIntroduce, own_, batchSequence_, localIp_, localPort_};
  SendToServer(BuildRendezvousMessage(header, batch_));
  batch_.clear();
}

void RendezvousClient::Register(int listenPort) {
  RendezvousHeader header{kRdvRegister, own_, ++messageCounter_, localIp_, localPort_, listenPort};
  SendToServer(BuildRendezvousMessage(header, {}));
}

void RendezvousClient::Probe() { SendToServer(std::vector<uint8_t>(kAddressProbeSize, 0)); }

bool RendezvousClient::Handle(const uint8_t* d, size_t n, uint32_t ip, int port,
                              UdpStreamTable& streams) {
  if (FromServer(ip, port)) {
    uint32_t publicIp;
    int publicPort;
    if (ParseAddressReply(d, n, &publicIp, &publicPort)) {
      answered_ = true;
      if (publicIp != 0 && publicIp != kNoAddress && publicPort != 0) {
        publicIp_ = publicIp;
        publicPort_ = publicPort;
      }
      return true;
    }
    uint32_t sequence;
    std::vector<IntroducedPeer> peers;
    if (ParseIntroductionReply(d, n, own_, &sequence, &peers)) {
      const auto it = std::find(outstanding_.begin(), outstanding_.end(), sequence);
      if (it != outstanding_.end()) {
        outstanding_.erase(it);
        streams.HandleIntroduction(sequence, peers);
      }
      return true;
    }
    UdpIdentity requester;
    uint32_t requesterIp;
    int requesterPort;
    if (ParsePunchRequest(d, n, &requester, &requesterIp, &requesterPort)) {
      if (BehindNat()) OnPunchRequest(requester, requesterIp, requesterPort);
      return true;
    }
  }
  UdpIdentity sender;
  if (n == kPunchPacketSize && ParsePunchPacket(d, n, own_, &sender)) {
    streams.HandlePunch(ip, port, sender.data());
    return true;
  }
  return false;
}

void RendezvousClient::OnPunchRequest(const UdpIdentity& requester, uint32_t ip, int port) {
  auto it = std::find_if(punches_.begin(), punches_.end(),
                         [&](const Punch& p) { return p.ip == ip && p.port == port; });
  if (it == punches_.end()) {
    if (punches_.size() >= kMaxPunches) return;
    punches_.push_back({ip, port, requester, 0});
    it = punches_.end() - 1;
  }
  it->punches = 1;
  SendPunch(*it);
}

bool RendezvousClient::SendPunch(const Punch& p) {
  const std::vector<uint8_t> m = BuildPunchPacket(p.identity, localPort_, own_);
  return socket_.SendTo(p.ip, p.port, m.data(), static_cast<int64_t>(m.size()));
}

bool RendezvousClient::PunchPass() {
  for (auto it = punches_.begin(); it != punches_.end();) {
    if (!SendPunch(*it)) return false;
    if (++it->punches >= kPunchesPerPeer) {
      it = punches_.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

void RendezvousClient::ForgetPunch(uint32_t ip, int port) {
  std::erase_if(punches_, [&](const Punch& p) { return p.ip == ip && p.port == port; });
}

}  // namespace bw
