#include "tools/bwrendezvous/RendezvousServer.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace bwrendezvous {
namespace {

// Engines register every 300 seconds; twice that without a word and they are gone.
constexpr uint64_t kForgetAfterSeconds = 600;
constexpr size_t kMaxEngines = 65536;

bool UnknownTag(const uint8_t* tag) { return tag[0] == 0 && tag[1] == 0; }

}  // namespace

void RendezvousServer::Handle(const uint8_t* d, size_t n, uint32_t ip, int port, uint64_t now) {
  if (IsAddressProbe(d, n)) return Send(AddressReply(ip, port), ip, port);
  Request request;
  if (!ParseRequest(d, n, &request)) return;
  Remember(request.identity, ip, port, now);
  if (request.type == kRegister) return Send(AddressReply(ip, port), ip, port);
  Introduce(request, ip, port, now);
}

void RendezvousServer::Remember(const Identity& identity, uint32_t ip, int port, uint64_t now) {
  Tag tag;
  std::memcpy(tag.data(), identity.data(), tag.size());
  const auto known = engines_.find(tag);
  const bool moved = known == engines_.end() || known->second.ip != ip || known->second.port != port;
  if (engines_.size() >= kMaxEngines && known == engines_.end()) return;
  engines_[tag] = Engine{ip, port, identity, now};
  if (!moved) return;
  // Who is where, for the operator (and for tests that wait for an engine to arrive).
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &ip, address, sizeof address);
  std::printf("engine ");
  for (uint8_t b : tag) std::printf("%02x", b);
  std::printf(" at %s:%d\n", address, port);
  std::fflush(stdout);
}

const RendezvousServer::Engine* RendezvousServer::Lookup(const Endpoint& wanted, const Identity& asker,
                                                         uint64_t now) const {
  const auto fresh = [now](const Engine& e) { return now - e.seen <= kForgetAfterSeconds; };
  if (!UnknownTag(wanted.tag)) {
    Tag tag;
    std::memcpy(tag.data(), wanted.tag, tag.size());
    const auto it = engines_.find(tag);
    return it != engines_.end() && fresh(it->second) ? &it->second : nullptr;
  }
  // Only the address is known (from a compact peer list): the engine registered there. Engines
  // behind one address (one NAT, one host) never want themselves.
  for (const auto& [tag, engine] : engines_) {
    if (engine.ip == wanted.ip && fresh(engine) && engine.identity != asker) return &engine;
  }
  return nullptr;
}

void RendezvousServer::Introduce(const Request& request, uint32_t ip, int port, uint64_t now) {
  std::vector<Endpoint> found;
  for (const Endpoint& wanted : request.wanted) {
    const Engine* engine = Lookup(wanted, request.identity, now);
    if (!engine) continue;
    Endpoint peer;
    peer.ip = engine->ip;
    peer.port = engine->port;
    std::memcpy(peer.tag, engine->identity.data(), kTagSize);
    found.push_back(peer);
    Send(PunchRequest(request.identity, ip, port), engine->ip, engine->port);
  }
  Send(IntroductionReply(request, found), ip, port);
}

void RendezvousServer::Send(const std::vector<uint8_t>& m, uint32_t ip, int port) {
  platform::SockAddrV4 to;
  to.ip = ip;
  to.port = static_cast<uint16_t>(port);
  platform::SendTo(socket_, m.data(), static_cast<int64_t>(m.size()), to);
}

}  // namespace bwrendezvous
