#pragma once
#include <cstdint>
#include <string>

namespace bw {

enum ProxyType : uint32_t {
  PROXY_NONE = 0,
  PROXY_HTTP = 1,
  PROXY_SOCKS4 = 2,
  PROXY_SOCKS5 = 3,
  PROXY_SOCKS4A = 4,
};

// Proxy settings: one process-wide record, one in each task and one copy in each socket.
struct QProxyInfo {
  uint32_t type = PROXY_NONE;
  uint32_t address = 0;  // network order
  uint16_t port = 0;
  int32_t timeout = -1;  // handshake seconds; negative means 12
  bool remoteResolve = false;
  bool noTunnel = false;
  std::string user;
  std::string password;
  std::string domain;
  std::string verb;    // empty: "CONNECT"
  std::string target;  // what the tunnel request names; only set during a connect

  bool IsConfigured() const {
    return type != PROXY_NONE && address != 0 && address != 0xFFFFFFFFu && port != 0;
  }
  int32_t HandshakeSeconds() const { return timeout < 0 ? 12 : timeout; }

  // The process-wide record, read and written under the network lock.
  static QProxyInfo Global();
  static void SetGlobal(const QProxyInfo& info);
};

}  // namespace bw
