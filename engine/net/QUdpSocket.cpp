#include "engine/net/QUdpSocket.h"

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

void QUdpSocket::Close() {
  if (!IsOpen()) return;
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
}

bool QUdpSocket::SendTo(uint32_t ip, int port, const void* data, int64_t len) {
  if (!IsOpen() || port < 1 || port > 65535) return false;
  platform::SockAddrV4 to;
  to.ip = ip;
  to.port = static_cast<uint16_t>(port);
  return platform::SendTo(handle_, data, len, to) == len;
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

}  // namespace bw
