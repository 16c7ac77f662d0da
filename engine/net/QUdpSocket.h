#pragma once
#include <cstdint>

#include "platform/Socket.h"

namespace bw {

// A non-blocking IPv4 datagram socket, on an ephemeral local port unless bound.
class QUdpSocket {
 public:
  QUdpSocket() = default;
  ~QUdpSocket() { Close(); }
  QUdpSocket(const QUdpSocket&) = delete;
  QUdpSocket& operator=(const QUdpSocket&) = delete;

  // Opens the socket when it is not open yet.
  bool Open();
  // Reopens the socket bound to this port (0: any) and address (0: any), with a receive buffer of
  // bufferBytes when that is positive. Datagrams are then read in batches (ReceiveBatch), whose
  // slots need room for kJoinedDatagramBytes: the system may hand over a run from one sender
  // joined into one.
  bool OpenBound(int port, uint32_t ip, int bufferBytes);
  static constexpr int kJoinedDatagramBytes = 65536;
  // Waits up to ms for a datagram; false when the socket is not open or the wait failed.
  bool WaitReadable(int ms);
  // The port Bind gave the socket; 0 when it was not bound.
  int LocalPort() const { return localPort_; }
  void Close();
  bool IsOpen() const { return handle_ != platform::kNoSocket; }

  // Opens the socket bound to port at ip (0: every address). shared lets other sockets of this
  // host bind the same port, as each instance of the engine does for a multicast group.
  bool Bind(int port, uint32_t ip, bool shared);
  // Joins the multicast group on the interface with the address interfaceIp and sends multicast
  // datagrams out of it with this time to live, looped back to this host's members.
  bool JoinGroup(uint32_t group, uint32_t interfaceIp, int ttl);

  // ip in network order. True when the whole datagram went out.
  bool SendTo(uint32_t ip, int port, const void* data, int64_t len);
  // Datagrams to one address with as few system calls as it allows: how many went out from the
  // first (0 when none could go now).
  int SendRun(uint32_t ip, int port, const uint8_t* const* datagrams, const int* lengths, int count);
  // One datagram into buffer (cut to capacity): its length, 0 when none is waiting, -1 on error.
  int64_t ReceiveFrom(void* buffer, int64_t capacity, uint32_t* ip, int* port);
  // Several waiting datagrams at once into the slots: how many, 0 when none is waiting, -1 on error.
  int ReceiveBatch(platform::DatagramSlot* slots, int count);

 private:
  platform::SocketHandle handle_ = platform::kNoSocket;
  int localPort_ = 0;
  bool segmenting_ = true;  // until the system refuses it
};

}  // namespace bw
