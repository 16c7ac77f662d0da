#include "tools/bwrendezvous/RendezvousMessages.h"

#include <algorithm>
#include <cstring>

namespace bwrendezvous {
namespace {

constexpr size_t kHeaderSize = 64;
constexpr size_t kEntrySize = 16;
constexpr size_t kMaxEntries = 12;

uint32_t Load(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

void Store(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

bool IsAddressProbe(const uint8_t* d, size_t n) {
  return n == 8 && std::all_of(d, d + n, [](uint8_t b) { return b == 0; });
}

bool ParseRequest(const uint8_t* d, size_t n, Request* request) {
  if (n < kHeaderSize || Load(d) != 0) return false;
  request->type = Load(d + 12);
  if (request->type != kRegister && request->type != kIntroduce) return false;
  std::memcpy(request->identity.data(), d + 16, kIdentitySize);
  request->sequence = Load(d + 28);
  request->wanted.clear();
  if (request->type != kIntroduce) return true;
  const size_t count = std::min<size_t>({Load(d + 44), (n - kHeaderSize) / kEntrySize, kMaxEntries});
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = d + kHeaderSize + i * kEntrySize;
    Endpoint wanted;
    std::memcpy(&wanted.ip, e, 4);
    std::memcpy(wanted.tag, e + 8, kTagSize);
    request->wanted.push_back(wanted);
  }
  return true;
}

std::vector<uint8_t> AddressReply(uint32_t ip, int port) {
  std::vector<uint8_t> m(8);
  std::memcpy(&m[0], &ip, 4);
  Store(&m[4], static_cast<uint32_t>(port));
  return m;
}

std::vector<uint8_t> IntroductionReply(const Request& request, const std::vector<Endpoint>& found) {
  const size_t count = std::min(found.size(), kMaxEntries);
  std::vector<uint8_t> m(kHeaderSize + count * kEntrySize);
  Store(&m[12], kIntroduceReply);
  std::memcpy(&m[16], request.identity.data(), kIdentitySize);
  Store(&m[28], request.sequence);
  Store(&m[44], static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* e = &m[kHeaderSize + i * kEntrySize];
    std::memcpy(e, &found[i].ip, 4);
    Store(e + 4, static_cast<uint32_t>(found[i].port));
    std::memcpy(e + 8, found[i].tag, kTagSize);
  }
  return m;
}

std::vector<uint8_t> PunchRequest(const Identity& requester, uint32_t ip, int port) {
  std::vector<uint8_t> m(32);
  Store(&m[0], kPunchRequest);
  std::memcpy(&m[4], requester.data(), kIdentitySize);
  std::memcpy(&m[20], &ip, 4);
  Store(&m[24], static_cast<uint32_t>(port));
  return m;
}

}  // namespace bwrendezvous
