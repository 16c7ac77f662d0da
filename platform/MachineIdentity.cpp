#include "platform/MachineIdentity.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <algorithm>
#include <string_view>

#include "platform/File.h"

namespace platform {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of one "KEY=value" line of os-release, its quotes removed.
std::string OsReleaseValue(const std::string& content, std::string_view key) {
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + at, end - at);
    at = end + 1;
    if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') continue;
    line.remove_prefix(key.size() + 1);
    if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') && line.back() == line.front()) {
      line = line.substr(1, line.size() - 2);
    }
    return std::string(line);
  }
  return "";
}

bool IsSixtyFourBit(std::string_view machine) {
  for (std::string_view wide : {"x86_64", "aarch64", "ppc64", "s390x", "riscv64", "mips64", "ia64", "alpha",
                                "sparc64", "loongarch64"}) {
    if (machine.starts_with(wide)) return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> MachineIdBytes() {
  std::string text;
  if (!ReadWholeFile("/etc/machine-id", &text) && !ReadWholeFile("/var/lib/dbus/machine-id", &text)) return {};
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size() && bytes.size() < 16; i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return {};
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  if (bytes.size() != 16) return {};
  return bytes;
}

std::vector<uint8_t> HardwareAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::vector<uint8_t> up, other;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET || (i->ifa_flags & IFF_LOOPBACK)) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    const size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
    if (length == 0 || std::all_of(link->sll_addr, link->sll_addr + length, [](uint8_t b) { return b == 0; })) {
      continue;
    }
    std::vector<uint8_t>& slot = (i->ifa_flags & IFF_UP) ? up : other;
    if (slot.empty()) slot.assign(link->sll_addr, link->sll_addr + length);
  }
  ::freeifaddrs(list);
  return up.empty() ? other : up;
}

OperatingSystem ReadOperatingSystem() {
  OperatingSystem os;
  std::string release;
  if (ReadWholeFile("/etc/os-release", &release) || ReadWholeFile("/usr/lib/os-release", &release)) {
    os.name = OsReleaseValue(release, "PRETTY_NAME");
    if (os.name.empty()) os.name = OsReleaseValue(release, "NAME");
  }
  utsname system{};
  if (::uname(&system) == 0) {
    os.kernel = system.release;
    os.wordSize = IsSixtyFourBit(system.machine) ? "64" : "32";
  }
  return os;
}

}  // namespace platform
