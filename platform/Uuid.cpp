#include "platform/Uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

namespace platform {

bool NewUuid(uint8_t out[16]) {
  size_t got = 0;
  while (got < 16) {
    const ssize_t n = getrandom(out + got, 16 - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);
  out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
  return true;
}

}  // namespace platform
