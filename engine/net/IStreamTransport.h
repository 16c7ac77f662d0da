#pragma once
#include <cstdint>

#include "platform/Socket.h"
#include "platform/WakeableWait.h"

namespace bw {

// The socket-like calls of the stream transport over UDP, which a QSocket in stream-over-UDP
// mode uses instead of the operating system. Calls return -1 on failure and leave the reason in
// platform::LastSocketError (kWsaEwouldblock when nothing can be moved now). Handles are never 0
// or negative.
class IStreamTransport {
 public:
  virtual ~IStreamTransport() = default;
  virtual int Socket() = 0;
  virtual int Close(int handle) = 0;
  virtual int Bind(int handle, const platform::SockAddrV4& at) = 0;
  virtual int Listen(int handle, int backlog) = 0;
  // A new connection's handle; its peer's address, port and tag (in the spare bytes) into *peer.
  virtual int Accept(int handle, platform::SockAddrV4* peer) = 0;
  virtual int Connect(int handle, const platform::SockAddrV4& to) = 0;
  virtual int Send(int handle, const uint8_t* data, int len) = 0;
  virtual int Recv(int handle, uint8_t* buffer, int len) = 0;
  // Readiness of one handle as platform::WaitSocket reports it; timeoutMs < 0 waits without limit.
  virtual int Select(int handle, int what, int timeoutMs) = 0;
  virtual int GetSockName(int handle, platform::SockAddrV4* local) = 0;
  // The ready bits of what for the handle now; when none, wait is woken once as soon as one comes.
  // A later call replaces the request (wait nullptr: none), so a wait never outlives its waiter.
  virtual int WatchReady(int handle, int what, platform::WakeableWait* wait) = 0;

  // The transport in use (none until the UDP server starts); returns the previous one.
  static IStreamTransport* Current();
  static IStreamTransport* Install(IStreamTransport* transport);
};

}  // namespace bw
