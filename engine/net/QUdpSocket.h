#pragma once
#include <cstdint>

#include "platform/Socket.h"

namespace bw {

// A non-blocking IPv4 datagram socket on an ephemeral local port.
class QUdpSocket {
 public:
  QUdpSocket() = default;
  ~QUdpSocket() { Close(); }
  QUdpSocket(const QUdpSocket&) = delete;
  QUdpSocket& operator=(const QUdpSocket&) = delete;

  // Opens the socket when it is not open yet.
  bool Open();
  void Close();
  bool IsOpen() const { return handle_ != platform::kNoSocket; }

  // ip in network order. True when the whole datagram went out.
  bool SendTo(uint32_t ip, int port, const void* data, int64_t len);
  // One datagram into buffer (cut to capacity): its length, 0 when none is waiting, -1 on error.
  int64_t ReceiveFrom(void* buffer, int64_t capacity, uint32_t* ip, int* port);

 private:
  platform::SocketHandle handle_ = platform::kNoSocket;
};

}  // namespace bw
