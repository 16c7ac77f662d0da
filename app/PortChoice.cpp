#include "app/PortChoice.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <random>

#include "platform/NetInterfaces.h"
#include "platform/Socket.h"

namespace bw::app {
namespace {

constexpr std::array<int, 8> kReservedPorts = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

// The four numbers of a dotted address; false for any other text.
bool ParseDotted(const std::string& text, std::array<unsigned, 4>* parts) {
  const char* p = text.data();
  const char* end = p + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return false;
      ++p;
    }
    const auto [next, error] = std::from_chars(p, end, (*parts)[i]);
    if (error != std::errc() || next == p || (*parts)[i] > 255) return false;
    p = next;
  }
  return p == end;
}

}  // namespace

bool IsReservedPort(int port) {
  return std::find(kReservedPorts.begin(), kReservedPorts.end(), port) != kReservedPorts.end();
}

bool IsPortInUse(int port) {
  const platform::SocketHandle s = platform::OpenTcpSocket();
  if (s == platform::kNoSocket) return true;
  // As the listener does: a port left in TIME_WAIT by an earlier run is free to it.
  platform::SetReuseAddress(s);
  platform::SockAddrV4 any;
  any.port = static_cast<uint16_t>(port);
  const bool taken = platform::Bind(s, any) != 0 || platform::Listen(s, 1) != 0;
  platform::CloseSocket(s);
  return taken;
}

int RandomStartPort() {
  std::minstd_rand random(static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count()));
  return kFirstListenPort + static_cast<int>(random() % 10000);
}

int ChooseListenPort(int start, const std::function<bool(int)>& inUse) {
  if (start < kFirstListenPort || start > kLastListenPort) start = kFirstListenPort;
  while (IsReservedPort(start)) ++start;
  int candidate = start;
  do {
    if (!inUse(candidate)) return candidate;
    do {
      candidate = candidate >= kLastListenPort ? kFirstListenPort : candidate + 1;
    } while (IsReservedPort(candidate));
  } while (candidate != start);
  return 0;
}

bool GetLocalAddress(std::string* address) {
  const std::vector<uint32_t> addresses = platform::LocalIPv4Addresses();
  if (addresses.empty()) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&addresses.front());
  *address = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
             std::to_string(bytes[3]);
  return true;
}

bool IsLocalAddress(const std::string& address) {
  std::array<unsigned, 4> n{};
  if (!ParseDotted(address, &n)) return false;
  return n[0] <= 6 || n[0] == 10 || n[0] == 127 || (n[0] == 192 && n[1] == 168) || (n[0] == 169 && n[1] == 254) ||
         (n[0] == 172 && n[1] >= 16 && n[1] <= 31);
}

}  // namespace bw::app
