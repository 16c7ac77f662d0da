#pragma once
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/net/IStreamTransport.h"

namespace bw::test {

// One in-memory connection standing in for the stream transport over UDP, so tests decide when
// the connect completes, how much the network takes and what arrives.
class FakeTransport : public IStreamTransport {
 public:
  static constexpr int kHandle = 5;

  FakeTransport() { previous_ = Install(this); }
  ~FakeTransport() override { Install(previous_); }

  bool connectDone = false;
  int64_t sendBudget = -1;   // bytes the next sends may take in total; -1: unlimited
  bool endless = false;      // the peer sends forever
  bool peerClosed = false;
  std::string sent;
  std::string incoming;
  platform::SockAddrV4 connectedTo;
  int closes = 0;
  platform::WakeableWait* waiter = nullptr;  // the last wait asked for
  bool wakeAtOnce = false;

  int Socket() override { return kHandle; }
  int Close(int) override { return ++closes, 0; }
  int Bind(int, const platform::SockAddrV4&) override { return 0; }
  int Listen(int, int) override { return 0; }
  int Accept(int, platform::SockAddrV4*) override { return Fail(platform::kWsaEwouldblock); }
  int Connect(int, const platform::SockAddrV4& to) override {
    connectedTo = to;
    return Fail(platform::kWsaEwouldblock);
  }
  int Send(int, const uint8_t* data, int len) override {
    int64_t n = len;
    if (sendBudget >= 0) n = std::min<int64_t>(n, sendBudget);
    if (n == 0) return Fail(platform::kWsaEwouldblock);
    if (sendBudget >= 0) sendBudget -= n;
    sent.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
    return static_cast<int>(n);
  }
  int Recv(int, uint8_t* buffer, int len) override {
    if (endless) {
      std::memset(buffer, 'x', static_cast<size_t>(len));
      return len;
    }
    if (incoming.empty()) return peerClosed ? 0 : Fail(platform::kWsaEwouldblock);
    const size_t n = std::min(incoming.size(), static_cast<size_t>(len));
    std::memcpy(buffer, incoming.data(), n);
    incoming.erase(0, n);
    return static_cast<int>(n);
  }
  int Select(int, int what, int) override {
    int ready = 0;
    if ((what & platform::kWaitRead) && (!incoming.empty() || peerClosed || endless)) {
      ready |= platform::kWaitRead;
    }
    if ((what & platform::kWaitWrite) && connectDone) ready |= platform::kWaitWrite;
    return ready;
  }
  int WatchReady(int handle, int what, platform::WakeableWait* wait) override {
    waiter = wait;
    // As the server thread does when something comes before the waiter sleeps.
    if (wait && wakeAtOnce) wait->Wake();
    return Select(handle, what, 0);
  }
  int GetSockName(int, platform::SockAddrV4* local) override {
    local->ip = 0x0900007F;  // 127.0.0.9
    local->port = 4000;
    std::memcpy(local->spare, "TAGBYTES", 8);
    return 0;
  }

 private:
  static int Fail(int code) {
    platform::SetLastSocketError(code);
    return -1;
  }
  IStreamTransport* previous_;
};

}  // namespace bw::test
