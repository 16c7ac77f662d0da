#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/Socket.h"
#include "engine/net/RendezvousWire.h"

namespace bwrendezvous {

// The least rendezvous server engines need: tells each engine its address as seen from here,
// remembers where registered engines are, answers introductions with those endpoints and asks
// the wanted engines to punch towards the one asking.
class RendezvousServer {
 public:
  explicit RendezvousServer(platform::SocketHandle socket) : socket_(socket) {}

  void Handle(const uint8_t* d, size_t n, uint32_t ip, int port, uint64_t nowSeconds);

 private:
  struct Engine {
    uint32_t ip = 0;
    int port = 0;
    bw::UdpIdentity identity{};
    uint64_t seen = 0;
    int listenPort = 0;  // 0 until a registration names it
  };
  using Tag = std::array<uint8_t, bw::kUdpTagSize>;

  // listenPort 0 keeps what an earlier registration said.
  void Remember(const bw::UdpIdentity& identity, uint32_t ip, int port, int listenPort, uint64_t now);
  void Introduce(const bw::RendezvousHeader& request, const std::vector<bw::IntroducedPeer>& wanted, uint32_t ip,
                 int port, uint64_t now);
  const Engine* Lookup(const bw::IntroducedPeer& wanted, const bw::UdpIdentity& asker, uint64_t now) const;
  void Send(const std::vector<uint8_t>& m, uint32_t ip, int port);

  platform::SocketHandle socket_;
  std::map<Tag, Engine> engines_;
};

}  // namespace bwrendezvous
