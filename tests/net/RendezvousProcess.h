#pragma once
#include <arpa/inet.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/net/ChildProcess.h"

namespace bw::test {

// The rendezvous server program on 127.0.0.1 (or another address of the machine) at a port it
// picks, read back from its first line.
class RendezvousProcess {
 public:
  explicit RendezvousProcess(const std::string& logPath, const std::string& address = "127.0.0.1")
      : process_({BW_RENDEZVOUS, "--address", address, "--port", "0"}, logPath) {
    for (int i = 0; i < 500 && port_ == 0; ++i) {
      std::ifstream log(logPath);
      std::string line;
      if (std::getline(log, line)) {
        const size_t colon = line.rfind(':');
        if (line.find("listening on") != std::string::npos && colon != std::string::npos) {
          port_ = std::stoi(line.substr(colon + 1));
          break;
        }
      }
      platform::SleepMs(10);
    }
  }

  int Port() const { return port_; }

 private:
  ChildProcess process_;
  int port_ = 0;
};

// A UDP port nothing uses at the moment of asking.
inline int FreeUdpPort() {
  const platform::SocketHandle s = platform::OpenUdpSocket();
  platform::SockAddrV4 at;
  at.ip = htonl(INADDR_LOOPBACK);
  platform::SockAddrV4 bound;
  const bool ok = platform::Bind(s, at) == 0 && platform::GetSockName(s, &bound) == 0;
  platform::CloseSocket(s);
  return ok ? bound.port : 0;
}

}  // namespace bw::test
