#include "engine/task/LanMessage.h"

#include <cstring>

namespace bw {

bool LanMessage::Decode(const uint8_t* data, size_t len, LanMessage* out) {
  if (!data || len != kSize || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 0) return false;
  std::memcpy(&out->ip, data + 4, 4);
  out->port = static_cast<uint16_t>(data[8] << 8 | data[9]);
  out->kind = static_cast<uint32_t>(data[12]) | static_cast<uint32_t>(data[13]) << 8 |
              static_cast<uint32_t>(data[14]) << 16 | static_cast<uint32_t>(data[15]) << 24;
  std::memcpy(out->infoHash, data + 16, 20);
  std::memcpy(out->peerId, data + 36, 20);
  return true;
}

void LanMessage::Encode(uint8_t (&out)[kSize]) const {
  std::memset(out, 0, kSize);
  std::memcpy(out + 4, &ip, 4);
  out[8] = static_cast<uint8_t>(port >> 8);
  out[9] = static_cast<uint8_t>(port);
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<uint8_t>(kind >> (8 * i));
  std::memcpy(out + 16, infoHash, 20);
  std::memcpy(out + 36, peerId, 20);
}

}  // namespace bw
