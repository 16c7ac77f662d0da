#include "engine/net/UdpIdentity.h"

#include <cstring>

namespace bw {
namespace {
constexpr uint8_t kSettingByte = 48;
}

UdpIdentity MakeUdpIdentity(const uint8_t* tag) {
  UdpIdentity id{};
  std::memcpy(id.data(), tag, kUdpTagSize);
  if (id[0] == 0) id[0] = 1;
  if (id[1] == 0) id[1] = 2;
  std::memcpy(id.data() + kUdpTagSize, kUdpMark, sizeof kUdpMark);
  id[11] = kSettingByte;
  return id;
}

bool IsUnknownUdpTag(const uint8_t* tag) { return tag[0] == 0 && tag[1] == 0; }

}  // namespace bw
