#include "tools/bwrendezvous/RendezvousServer.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace bwrendezvous {
namespace {

// Engines register every 300 seconds; twice that without a word and they are gone.
constexpr uint64_t kForgetAfterSeconds = 600;
constexpr size_t kMaxEngines = 65536;

}  // namespace

void RendezvousServer::Handle(const uint8_t* d, size_t n, uint32_t ip, int port, uint64_t now) {
  if (bw::IsAddressProbe(d, n)) return Send(bw::BuildAddressReply(ip, port), ip, port);
  bw::RendezvousHeader request;
  std::vector<bw::IntroducedPeer> wanted;
  if (!bw::ParseRendezvousMessage(d, n, &request, &wanted) || request.type == bw::kRdvIntroduceReply) return;
  Remember(request.identity, ip, port, request.type == bw::kRdvRegister ? request.listenPort : 0, now);
  if (request.type == bw::kRdvRegister) return Send(bw::BuildAddressReply(ip, port), ip, port);
  Introduce(request, wanted, ip, port, now);
}

void RendezvousServer::Remember(const bw::UdpIdentity& identity, uint32_t ip, int port, int listenPort,
                                uint64_t now) {
  Tag tag;
  std::memcpy(tag.data(), identity.data(), tag.size());
  const auto known = engines_.find(tag);
  const bool moved = known == engines_.end() || known->second.ip != ip || known->second.port != port;
  if (engines_.size() >= kMaxEngines && known == engines_.end()) return;
  if (listenPort == 0 && known != engines_.end()) listenPort = known->second.listenPort;
  engines_[tag] = Engine{ip, port, identity, now, listenPort};
  if (!moved) return;
  // Who is where, for the operator (and for tests that wait for an engine to arrive).
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &ip, address, sizeof address);
  std::printf("engine ");
  for (uint8_t b : tag) std::printf("%02x", b);
  std::printf(" at %s:%d\n", address, port);
  std::fflush(stdout);
}

const RendezvousServer::Engine* RendezvousServer::Lookup(const bw::IntroducedPeer& wanted, const bw::UdpIdentity& asker,
                                                         uint64_t now) const {
  const auto fresh = [now](const Engine& e) { return now - e.seen <= kForgetAfterSeconds; };
  if (!bw::IsUnknownUdpTag(wanted.tag)) {
    Tag tag;
    std::memcpy(tag.data(), wanted.tag, tag.size());
    const auto it = engines_.find(tag);
    return it != engines_.end() && fresh(it->second) ? &it->second : nullptr;
  }
  // Only the address and the listen port are known (from a compact peer list): the engine that
  // registered there with that listen port; failing that, the only engine there that named no
  // listen port. Several engines share one address (one host, one NAT): anything less certain
  // is no answer rather than a guess. An engine never wants itself.
  const int wantedPort = (wanted.tag[6] << 8) | wanted.tag[7];
  const Engine* named = nullptr;
  const Engine* unnamed = nullptr;
  int namedCount = 0;
  int unnamedCount = 0;
  for (const auto& [tag, engine] : engines_) {
    if (engine.ip != wanted.ip || !fresh(engine)) continue;
    if (engine.listenPort == wantedPort) {
      named = &engine;
      ++namedCount;
    } else if (engine.listenPort == 0 && engine.identity != asker) {
      unnamed = &engine;
      ++unnamedCount;
    }
  }
  if (namedCount > 0) return namedCount == 1 && named->identity != asker ? named : nullptr;
  return unnamedCount == 1 ? unnamed : nullptr;
}

void RendezvousServer::Introduce(const bw::RendezvousHeader& request, const std::vector<bw::IntroducedPeer>& wanted,
                                 uint32_t ip, int port, uint64_t now) {
  bw::RendezvousHeader reply;
  reply.type = bw::kRdvIntroduceReply;
  reply.identity = request.identity;
  reply.sequence = request.sequence;
  std::vector<bw::IntroducedPeer> found;
  for (const bw::IntroducedPeer& peer : wanted) {
    const Engine* engine = Lookup(peer, request.identity, now);
    if (!engine) continue;
    bw::IntroducedPeer at;
    at.ip = engine->ip;
    at.port = engine->port;
    std::memcpy(at.tag, engine->identity.data(), bw::kUdpTagSize);
    found.push_back(at);
    Send(bw::BuildPunchRequest(request.identity, ip, port), engine->ip, engine->port);
  }
  Send(bw::BuildRendezvousMessage(reply, found), ip, port);
}

void RendezvousServer::Send(const std::vector<uint8_t>& m, uint32_t ip, int port) {
  platform::SockAddrV4 to;
  to.ip = ip;
  to.port = static_cast<uint16_t>(port);
  platform::SendTo(socket_, m.data(), static_cast<int64_t>(m.size()), to);
}

}  // namespace bwrendezvous
