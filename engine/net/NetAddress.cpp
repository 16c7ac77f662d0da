#include "engine/net/NetAddress.h"

#include <bit>
#include <set>

#include "engine/net/NetworkLock.h"
#include "platform/NetInterfaces.h"
#include "platform/Resolver.h"
#include "platform/Socket.h"

namespace bw {
namespace {

std::set<std::string>& FailedHosts() {
  static auto* hosts = new std::set<std::string>;  // guarded by the network lock
  return *hosts;
}

bool IsFailedHost(const std::string& name) {
  QScopedLock guard(NetworkLock());
  return FailedHosts().count(name) != 0;
}

}  // namespace

uint32_t HostToNet32(uint32_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

bool ParseDottedQuad(std::string_view text, uint32_t* ip) {
  uint32_t value = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    uint32_t octet = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      octet = octet * 10 + static_cast<uint32_t>(text[i++] - '0');
      ++digits;
    }
    if (digits == 0 || octet > 255) return false;
    value = value << 8 | octet;
  }
  if (i != text.size()) return false;
  *ip = HostToNet32(value);
  return true;
}

std::string DottedQuadText(uint32_t ip) {
  const uint32_t h = NetToHost32(ip);
  return std::to_string(h >> 24) + "." + std::to_string(h >> 16 & 0xFF) + "." +
         std::to_string(h >> 8 & 0xFF) + "." + std::to_string(h & 0xFF);
}

uint32_t ResolveHost(const std::string& name) {
  if (name.empty()) return kNoAddress;
  uint32_t ip;
  if (name[0] >= '0' && name[0] <= '9' && ParseDottedQuad(name, &ip) && ip != kNoAddress) return ip;
  if (IsFailedHost(name)) return kNoAddress;
  std::vector<uint32_t> found;
  const int err = platform::CurrentResolver().Lookup(name, &found);
  if (err == 0 && !found.empty()) return found.front();
  if (err == platform::kWsaHostNotFound) AddFailedHost(name);
  return kNoAddress;
}

void AddFailedHost(const std::string& name) {
  QScopedLock guard(NetworkLock());
  FailedHosts().insert(name);
}

void ClearFailedHosts() {
  QScopedLock guard(NetworkLock());
  FailedHosts().clear();
}

uint32_t PickLocalAddress(int limit) {
  return ChooseLocalAddress(platform::LocalIPv4Addresses(), limit);
}

uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses, int limit) {
  if (addresses.empty()) return kNoAddress;
  size_t count = addresses.size();
  if (limit >= 0 && static_cast<size_t>(limit) + 1 < count) count = static_cast<size_t>(limit) + 1;
  uint32_t last = kNoAddress;
  uint32_t lastPublic = 0;
  for (size_t i = 0; i < count; ++i) {
    last = addresses[i];
    if (last != 0 && last != kNoAddress && !IsNonPublicAddress(last)) lastPublic = last;
  }
  return lastPublic != 0 && IsNonPublicAddress(last) ? lastPublic : last;
}

bool IsNonPublicAddress(uint32_t ip) {
  const uint32_t h = NetToHost32(ip);
  const uint32_t first = h >> 24;
  if (first <= 6 || first == 10 || first == 127) return true;
  if ((h & 0xFFFF0000u) == 0xC0A80000u) return true;  // 192.168/16
  if ((h & 0xFFFF0000u) == 0xA9FE0000u) return true;  // 169.254/16
  return (h & 0xFFF00000u) == 0xAC100000u;            // 172.16/12
}

}  // namespace bw
