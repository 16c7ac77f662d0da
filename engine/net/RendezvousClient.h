#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/net/QUdpSocket.h"
#include "engine/net/QUdpStream.h"
#include "engine/net/RendezvousWire.h"
#include "engine/net/UdpIdentity.h"

namespace bw {

class UdpStreamTable;

// The engine's side of the rendezvous protocol: learns its public address, registers, asks for
// introductions to the engines it wants to reach, and punches towards engines that want to reach
// it. Used under the UDP server's lock.
class RendezvousClient {
 public:
  RendezvousClient(QUdpSocket& socket, const UdpIdentity& own) : socket_(socket), own_(own) {}

  void SetServer(uint32_t ip, int port);
  void SetLocalEndpoint(uint32_t ip, int port);

  // Adds the connection's peer to the introduction batch; a full batch goes out at once.
  void Introduce(QUdpStream& stream);
  void FlushIntroductions();
  // listenPort: the stream listener's port (0: none).
  void Register(int listenPort);
  void Probe();
  // True when the datagram belonged to the rendezvous protocol (handled or dropped).
  bool Handle(const uint8_t* d, size_t n, uint32_t ip, int port, UdpStreamTable& streams);
  // Repeats the punch packets; false when the socket would block.
  bool PunchPass();
  void ForgetPunch(uint32_t ip, int port);

  // No public address learned yet, or one that is not the local one.
  bool BehindNat() const { return publicIp_ == 0 || publicIp_ != localIp_; }
  bool ServerAnswered() const { return answered_; }
  void ClearAnswered() { answered_ = false; }
  uint32_t PublicAddress() const { return publicIp_; }
  int PublicPort() const { return publicPort_; }
  void ClearPublicAddress();

 private:
  struct Punch {
    uint32_t ip = 0;
    int port = 0;
    UdpIdentity identity{};
    int punches = 0;
  };

  bool FromServer(uint32_t ip, int port) const { return ip == serverIp_ && port == serverPort_; }
  bool SendToServer(const std::vector<uint8_t>& m);
  void OnPunchRequest(const UdpIdentity& requester, uint32_t ip, int port);
  bool SendPunch(const Punch& p);

  QUdpSocket& socket_;
  UdpIdentity own_;
  uint32_t serverIp_ = 0;
  int serverPort_ = 0;
  uint32_t localIp_ = 0;
  int localPort_ = 0;
  uint32_t publicIp_ = 0;
  int publicPort_ = 0;
  bool answered_ = false;
  uint32_t messageCounter_ = 0;
  uint32_t batchSequence_ = 0;
  std::vector<IntroducedPeer> batch_;
  std::vector<uint32_t> outstanding_;
  std::vector<Punch> punches_;
};

}  // namespace bw
