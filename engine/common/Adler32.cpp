#include "engine/common/Adler32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bw {
namespace {

constexpr uint32_t kBase = 65521;
// Most bytes that can be summed from reduced sums before the sum of sums can overflow 32 bits.
constexpr size_t kMaxRun = 5552;

#if defined(__SSE2__)
constexpr size_t kChunk = 16;

uint32_t LaneSum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Adds chunks of 16 bytes (at most kMaxRun bytes in all) to the sums. A byte k places before the
// run's end adds k + 1 times itself to b: its place in its chunk gives the weights 16 .. 1, and
// each later chunk adds the whole chunk's sum 16 times more.
void AddChunks(uint32_t& a, uint32_t& b, const uint8_t* p, size_t chunks) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i firstHalf = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i secondHalf = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  __m128i sums = zero;
  __m128i weighted = zero;
  __m128i earlier = zero;  // for each chunk, the sums of the chunks before it
  b += a * static_cast<uint32_t>(chunks * kChunk);
  for (; chunks != 0; --chunks, p += kChunk) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    earlier = _mm_add_epi32(earlier, sums);
    sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), firstHalf));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), secondHalf));
  }
  a += LaneSum(sums);
  b += LaneSum(_mm_add_epi32(weighted, _mm_slli_epi32(earlier, 4)));
}
#endif

}  // namespace

uint32_t Adler32(uint32_t initial, const void* data, size_t length) {
  if (length == 0) return initial;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t a = (initial & 0xFFFF) % kBase;
  uint32_t b = (initial >> 16) % kBase;
  while (length != 0) {
    size_t run = length < kMaxRun ? length : kMaxRun;
    length -= run;
#if defined(__SSE2__)
    AddChunks(a, b, p, run / kChunk);
    p += run - run % kChunk;
    run %= kChunk;
#else
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
#endif
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
