#include "engine/net/QUdpSocket.h"

#include <algorithm>

#include "platform/Multicast.h"

namespace bw {

bool QUdpSocket::Open() {
  if (IsOpen()) return true;
  handle_ = platform::OpenUdpSocket();
  if (!IsOpen()) return false;
  if (!platform::SetNonBlocking(handle_, true)) {
    Close();
    return false;
  }
  return true;
}

bool QUdpSocket::Bind(int port, uint32_t ip, bool shared) {
  if (port < 0 || port > 65535 || !Open()) return false;
  platform::SockAddrV4 at;
  at.ip = ip;
  at.port = static_cast<uint16_t>(port);
  if ((shared && !platform::SetReuseAddress(handle_)) || platform::Bind(handle_, at) != 0) {
    Close();
    return false;
  }
  // Remembered: the server asks on every pass, which a system call each time would cost.
  platform::SockAddrV4 local;
  localPort_ = port != 0 ? port : platform::GetSockName(handle_, &local) == 0 ? local.port : 0;
  return true;
}

bool QUdpSocket::JoinGroup(uint32_t group, uint32_t interfaceIp, int ttl) {
  return IsOpen() && platform::JoinMulticastGroup(handle_, group, interfaceIp) &&
         platform::SetMulticastSending(handle_, interfaceIp, ttl, true);
}

bool QUdpSocket::OpenBound(int port, uint32_t ip, int bufferBytes) {
  Close();
  if (!Bind(port, ip, false)) return false;
  if (bufferBytes > 0) platform::SetReceiveBufferSize(handle_, bufferBytes);
  // Without it each datagram of a joined run is read on its own.
  platform::EnableDatagramJoining(handle_);
  return true;
}

bool QUdpSocket::WaitReadable(int ms) {
  return IsOpen() && platform::WaitSocket(handle_, platform::kWaitRead, ms) >= 0;
}

void QUdpSocket::Close() {
  if (!IsOpen()) return;
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  localPort_ = 0;
}

bool QUdpSocket::SendTo(uint32_t ip, int port, const void* data, int64_t len) {
  if (!IsOpen() || port < 1 || port > 65535) return false;
  platform::SockAddrV4 to;
  to.ip = ip;
  to.port = static_cast<uint16_t>(port);
  return platform::SendTo(handle_, data, len, to) == len;
}

int QUdpSocket::SendRun(uint32_t ip, int port, const uint8_t* const* datagrams, const int* lengths, int count) {
  if (!IsOpen() || port < 1 || port > 65535 || count <= 0) return 0;
  platform::SockAddrV4 to;
  to.ip = ip;
  to.port = static_cast<uint16_t>(port);
  return std::max(platform::SendToRun(handle_, datagrams, lengths, count, to, &segmenting_), 0);
}

int64_t QUdpSocket::ReceiveFrom(void* buffer, int64_t capacity, uint32_t* ip, int* port) {
  if (!IsOpen()) return -1;
  platform::SockAddrV4 from;
  const int64_t n = platform::RecvFrom(handle_, buffer, capacity, &from);
  if (n < 0) return platform::LastSocketError() == platform::kWsaEwouldblock ? 0 : -1;
  if (ip) *ip = from.ip;
  if (port) *port = from.port;
  return n;
}

int QUdpSocket::ReceiveBatch(platform::DatagramSlot* slots, int count) {
  if (!IsOpen()) return -1;
  const int n = platform::RecvFromBatch(handle_, slots, count);
  if (n < 0) return platform::LastSocketError() == platform::kWsaEwouldblock ? 0 : -1;
  return n;
}

}  // namespace bw
