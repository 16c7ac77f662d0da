#include "engine/common/Adler32.h"

namespace bw {
namespace {

constexpr uint32_t kBase = 65521;
// Most bytes that can be summed from reduced sums before the sum of sums can overflow 32 bits.
constexpr size_t kMaxRun = 5552;

}  // namespace

uint32_t Adler32(uint32_t initial, const void* data, size_t length) {
  if (length == 0) return initial;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t a = (initial & 0xFFFF) % kBase;
  uint32_t b = (initial >> 16) % kBase;
  while (length != 0) {
    size_t run = length < kMaxRun ? length : kMaxRun;
    length -= run;
    for (; run >= 8; run -= 8, p += 8) {
      a += p[0]; b += a;
      a += p[1]; b += a;
      a += p[2]; b += a;
      a += p[3]; b += a;
      a += p[4]; b += a;
      a += p[5]; b += a;
      a += p[6]; b += a;
      a += p[7]; b += a;
    }
    for (; run != 0; --run, ++p) {
      a += *p;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return b << 16 | a;
}

}  // namespace bw
