#pragma once
#include <cstdint>
#include <string>

#include "engine/frame/QThread.h"
#include "engine/net/IStreamTransport.h"
#include "engine/net/QUdpSocket.h"
#include "engine/net/RendezvousClient.h"
#include "engine/net/UdpStreamTable.h"

namespace bw {

struct UdpServerConfig {
  std::string rendezvousHost;
  int rendezvousPort = 0;
  int probeIntervalSeconds = 0;
  int timeoutSeconds = 0;
  int localPort = 0;
  uint32_t localIp = 0;  // 0: the picked local address; the socket then binds to any address
  uint8_t tag[kUdpTagSize] = {};

  bool Valid() const;
};

// The "UDPServer" thread: owns the engine's UDP socket, which carries the rendezvous protocol and
// the stream transport over UDP, and serves the stream transport's socket-like calls.
class QUInternalServer : public QThread, public IStreamTransport, private IUdpStreamHost {
 public:
  explicit QUInternalServer(const UdpServerConfig& config);
  ~QUInternalServer() override;

  bool StartServer();
  void StopServer();

  void Run() override;

  int Socket() override;
  int Close(int handle) override;
  int Bind(int handle, const platform::SockAddrV4& at) override;
  int Listen(int handle, int backlog) override;
  int Accept(int handle, platform::SockAddrV4* peer) override;
  int Connect(int handle, const platform::SockAddrV4& to) override;
  int Send(int handle, const uint8_t* data, int len) override;
  int Recv(int handle, uint8_t* buffer, int len) override;
  int Select(int handle, int what, int timeoutMs) override;
  int GetSockName(int handle, platform::SockAddrV4* local) override;
  int WatchReady(int handle, int what, platform::WakeableWait* wait) override;

  // While disabled the socket is closed, no datagram is handled and connects fail.
  void SetTransportDisabled(bool disabled);
  bool TransportDisabled();
  // The socket is bound again at the next pass.
  void SetLocalEndpoint(uint32_t ip, int port);
  // 0 until the rendezvous server told it.
  uint32_t PublicAddress();
  const UdpIdentity& Identity() const { return identity_; }
  void DropConnections();

 private:
  bool SendDatagram(uint32_t ip, int port, const uint8_t* data, int length) override;
  int SendDatagrams(uint32_t ip, int port, const uint8_t* const* data, const int* lengths, int count) override;
  void RequestIntroduction(QUdpStream& stream) override;
  void ForgetPunch(uint32_t ip, int port) override;
  uint32_t LocalAddress() override;
  uint32_t NowMs() override;

  bool BindSocket();
  bool ResolveServer();
  void Dispatch(const uint8_t* d, size_t n, uint32_t ip, int port);
  // The datagrams of one slot read, joined into one by the system or not; streak counts
  // datagrams since the timers last ran.
  void DispatchRun(const platform::DatagramSlot& slot, int& streak);
  void RunTimers();
  void ResetTimers();
  // Sleeps up to ms, ending early when a datagram arrives.
  void Idle(int ms);

  UdpServerConfig config_;
  UdpIdentity identity_;
  QUdpSocket socket_;
  UdpStreamTable streams_;
  RendezvousClient rendezvous_;
  uint32_t localIp_ = 0;
  int localPort_ = 0;
  bool disabled_ = false;

  uint32_t lastRetransmission_ = 0;
  uint32_t lastAcknowledgement_ = 0;
  uint32_t lastMaintenance_ = 0;
  uint32_t lastRegister_ = 0;
  uint32_t lastProbe_ = 0;
  uint64_t lastSecond_ = 0;
  bool registerDue_ = true;
};

}  // namespace bw
