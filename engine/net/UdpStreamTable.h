#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/common/QBufferPool.h"
#include "engine/net/QUdpStream.h"
#include "engine/net/RendezvousWire.h"
#include "engine/net/UdpIdentity.h"
#include "platform/Socket.h"

namespace bw {

// What the stream connections need from the server that carries them.
class IUdpStreamHost {
 public:
  virtual ~IUdpStreamHost() = default;
  // False when the datagram could not go out now.
  virtual bool SendDatagram(uint32_t ip, int port, const uint8_t* data, int length) = 0;
  // A run of datagrams to one peer: how many went out from the first.
  virtual int SendDatagrams(uint32_t ip, int port, const uint8_t* const* data, const int* lengths, int count) {
    int sent = 0;
    while (sent < count && SendDatagram(ip, port, data[sent], lengths[sent])) ++sent;
    return sent;
  }
  // Adds the connection's peer to the next introduction request; sets its introduction number.
  virtual void RequestIntroduction(QUdpStream& stream) = 0;
  // A SYN came from this endpoint: punching towards it can stop.
  virtual void ForgetPunch(uint32_t ip, int port) = 0;
  virtual uint32_t LocalAddress() = 0;
  virtual uint32_t NowMs() = 0;
};

// The connections of the stream transport over UDP and the socket-like calls on them. Not
// thread-safe: the server serialises every call under its lock. Calls report failures as -1 with
// the reason in platform::LastSocketError.
class UdpStreamTable {
 public:
  static constexpr int kMaxBacklog = 4096;

  UdpStreamTable(IUdpStreamHost& host, const UdpIdentity& own);
  ~UdpStreamTable();
  UdpStreamTable(const UdpStreamTable&) = delete;
  UdpStreamTable& operator=(const UdpStreamTable&) = delete;

  // While disabled no connect, send or receive works.
  void SetDisabled(bool disabled) { disabled_ = disabled; }
  bool Disabled() const { return disabled_; }
  void SetTimeoutSeconds(int seconds) { timeoutMs_ = static_cast<uint32_t>(seconds) * 1000; }
  const UdpIdentity& Identity() const { return own_; }

  int Socket();
  int Close(int handle);
  int Bind(int handle, const platform::SockAddrV4& at);
  int Listen(int handle, int backlog);
  int Accept(int handle, platform::SockAddrV4* peer);
  int Connect(int handle, const platform::SockAddrV4& to);
  int Send(int handle, const uint8_t* data, int length);
  int Recv(int handle, uint8_t* buffer, int length);
  // The platform::kWait* bits of the handle that are ready now; -1 for a handle that is no socket.
  int Readiness(int handle, int what);
  int GetSockName(int handle, platform::SockAddrV4* local);
  // Readiness now; when none, wait is woken once (by WakeWaiters) as soon as some of what is ready.
  int WatchReady(int handle, int what, platform::WakeableWait* wait);
  // Wakes those whose wait came to an end. Called before the caller's lock goes: a waiter that
  // withdraws its request under the lock is never woken afterwards. Once for a run of datagrams,
  // as the reader could not take them before anyway.
  void WakeWaiters();

  // Any datagram that looks like a stream packet; anything malformed is dropped.
  void HandlePacket(const uint8_t* datagram, size_t length, uint32_t fromIp, int fromPort);
  void HandleIntroduction(uint32_t sequence, const std::vector<IntroducedPeer>& peers);
  // A punch packet from an engine with this identity.
  void HandlePunch(uint32_t fromIp, int fromPort, const uint8_t* senderIdentity);

  // False when the socket would block, which ends the pass.
  bool RetransmissionPass();
  void AcknowledgementPass();
  // Data arrived since the last acknowledgement pass.
  bool AcknowledgementWanted() const { return acknowledgementWanted_; }
  void Maintenance();
  // Gives memory back when much is held and little of it used.
  void TrimPool();
  // Drops every connection, as when the last task goes.
  void DropAll();

  size_t LiveCount() const { return streams_.size(); }
  // The port of the first listening socket; 0 when none listens.
  int ListeningPort() const;

 private:
  // A socket of the caller's: a lingering connection is no longer one.
  QUdpStream* Find(int handle);
  QUdpStream* FindConnection(uint32_t handle);
  QUdpStream* NewStream();
  void Recycle(uint32_t handle);
  static void Remove(std::vector<uint32_t>& list, uint32_t handle);
  void Kill(QUdpStream& s);
  int Ready(const QUdpStream& s, int what) const;
  // Closed connections whose data is all acknowledged say FIN and go; those whose peer is gone go
  // at once.
  void EndLingering();
  // Ends a lingering connection once nothing holds it any longer.
  void EndLingering(QUdpStream& s);
  // Wakes the waiter of the stream when what it waits for has come.
  void Notify(QUdpStream& s);

  int Fail(int error);
  bool SendPacket(QUdpStream& s, uint8_t* packet, uint32_t length, uint32_t type, int times = 1);
  void SendSyn(QUdpStream& s);
  void SendSynAck(QUdpStream& s);
  void SendEstablish(QUdpStream& s);
  void SendFin(QUdpStream& s);
  void SendKeepAlive(QUdpStream& s);
  bool SendData(QUdpStream& s, QUdpStream::SendSlot& slot);
  void SendAcknowledgement(QUdpStream& s, int times);
  void SendReject(const uint8_t* syn, uint32_t ip, int port);

  // A packet for an existing connection.
  void HandleOnStream(QUdpStream& s, const uint8_t* d, size_t length, uint32_t ip, int port);
  void OnSyn(const uint8_t* p, uint32_t ip, int port);
  void OnSynAck(const uint8_t* p, uint32_t ip, int port);
  void OnEstablish(QUdpStream& s, const uint8_t* p, uint32_t ip, int port);
  void OnReject(QUdpStream& s, const uint8_t* p, uint32_t ip);
  void OnData(QUdpStream& s, const uint8_t* p, size_t length);
  void OnAck(QUdpStream& s, const uint8_t* p, size_t length);
  void OnDataAck(QUdpStream& s, const uint8_t* p);
  void OnFin(QUdpStream& s, const uint8_t* p, uint32_t ip);
  // False when the socket would block.
  bool Retransmit(QUdpStream& s);
  // Sends the slot again; false when the socket would block.
  bool Resend(QUdpStream& s, QUdpStream::SendSlot& slot, uint32_t now);
  // After a read: tells the peer when its window opened far enough.
  void OpenWindow(QUdpStream& s);
  // Cuts queued bytes into the free send slots and sends those inside the window.
  void FillSlots(QUdpStream& s);

  IUdpStreamHost& host_;
  UdpIdentity own_;
  QBufferPool pool_;
  std::unordered_map<uint32_t, std::unique_ptr<QUdpStream>> streams_;
  std::vector<std::unique_ptr<QUdpStream>> free_;
  std::vector<uint32_t> connections_;
  std::vector<uint32_t> bound_;
  std::vector<uint32_t> pending_;
  uint32_t nextHandle_;
  uint32_t nextCookie_;
  int backlogLimit_ = 32;
  uint32_t timeoutMs_ = 30000;
  bool disabled_ = false;
  bool acknowledgementWanted_ = false;
  std::vector<platform::WakeableWait*> wakes_;
};

}  // namespace bw
