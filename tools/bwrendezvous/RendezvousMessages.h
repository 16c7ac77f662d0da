#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bwrendezvous {

// The server's side of the rendezvous messages: what engines send and what it answers. Addresses
// in network order, other numbers 4-byte big-endian.
constexpr size_t kTagSize = 8;
constexpr size_t kIdentitySize = 12;
using Identity = std::array<uint8_t, kIdentitySize>;

enum MessageType : uint32_t {
  kRegister = 2,
  kIntroduce = 3,
  kIntroduceReply = 0x80000003,
  kPunchRequest = 0x33333333,
};

struct Endpoint {
  uint32_t ip = 0;
  int port = 0;
  uint8_t tag[kTagSize] = {};
};

struct Request {
  uint32_t type = 0;
  Identity identity{};
  uint32_t sequence = 0;
  std::vector<Endpoint> wanted;  // introductions: port 0
};

bool IsAddressProbe(const uint8_t* d, size_t n);
// A register or introduce message; at most 12 wanted entries, as many as its length holds.
bool ParseRequest(const uint8_t* d, size_t n, Request* request);

std::vector<uint8_t> AddressReply(uint32_t ip, int port);
std::vector<uint8_t> IntroductionReply(const Request& request, const std::vector<Endpoint>& found);
std::vector<uint8_t> PunchRequest(const Identity& requester, uint32_t ip, int port);

}  // namespace bwrendezvous
