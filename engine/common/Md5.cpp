#include "engine/common/Md5.h"

#include "engine/common/HashBlocks.h"

#include <bit>
#include <cstring>

namespace bw {
namespace {

uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return std::endian::native == std::endian::little ? v : __builtin_bswap32(v);
}

// Forms chosen for short dependency chains through b, the value the previous step produced.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define BW_MD5_STEP(f, a, b, c, d, k, t, s) \
  a += f(b, c, d) + m[k] + (t);             \
  a = std::rotl(a, s) + b

void Compress(uint32_t s[4], const uint8_t* p, size_t count) {
  for (; count; --count, p += Md5::kBlockSize) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = LoadLe32(p + 4 * i);
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3];

    BW_MD5_STEP(F, a, b, c, d, 0, 0xd76aa478, 7);
    BW_MD5_STEP(F, d, a, b, c, 1, 0xe8c7b756, 12);
    BW_MD5_STEP(F, c, d, a, b, 2, 0x242070db, 17);
    BW_MD5_STEP(F, b, c, d, a, 3, 0xc1bdceee, 22);
    BW_MD5_STEP(F, a, b, c, d, 4, 0xf57c0faf, 7);
    BW_MD5_STEP(F, d, a, b, c, 5, 0x4787c62a, 12);
    BW_MD5_STEP(F, c, d, a, b, 6, 0xa8304613, 17);
    BW_MD5_STEP(F, b, c, d, a, 7, 0xfd469501, 22);
    BW_MD5_STEP(F, a, b, c, d, 8, 0x698098d8, 7);
    BW_MD5_STEP(F, d, a, b, c, 9, 0x8b44f7af, 12);
    BW_MD5_STEP(F, c, d, a, b, 10, 0xffff5bb1, 17);
    BW_MD5_STEP(F, b, c, d, a, 11, 0x895cd7be, 22);
    BW_MD5_STEP(F, a, b, c, d, 12, 0x6b901122, 7);
    BW_MD5_STEP(F, d, a, b, c, 13, 0xfd987193, 12);
    BW_MD5_STEP(F, c, d, a, b, 14, 0xa679438e, 17);
    BW_MD5_STEP(F, b, c, d, a, 15, 0x49b40821, 22);

    BW_MD5_STEP(G, a, b, c, d, 1, 0xf61e2562, 5);
    BW_MD5_STEP(G, d, a, b, c, 6, 0xc040b340, 9);
    BW_MD5_STEP(G, c, d, a, b, 11, 0x265e5a51, 14);
    BW_MD5_STEP(G, b, c, d, a, 0, 0xe9b6c7aa, 20);
    BW_MD5_STEP(G, a, b, c, d, 5, 0xd62f105d, 5);
    BW_MD5_STEP(G, d, a, b, c, 10, 0x02441453, 9);
    BW_MD5_STEP(G, c, d, a, b, 15, 0xd8a1e681, 14);
    BW_MD5_STEP(G, b, c, d, a, 4, 0xe7d3fbc8, 20);
    BW_MD5_STEP(G, a, b, c, d, 9, 0x21e1cde6, 5);
    BW_MD5_STEP(G, d, a, b, c, 14, 0xc33707d6, 9);
    BW_MD5_STEP(G, c, d, a, b, 3, 0xf4d50d87, 14);
    BW_MD5_STEP(G, b, c, d, a, 8, 0x455a14ed, 20);
    BW_MD5_STEP(G, a, b, c, d, 13, 0xa9e3e905, 5);
    BW_MD5_STEP(G, d, a, b, c, 2, 0xfcefa3f8, 9);
    BW_MD5_STEP(G, c, d, a, b, 7, 0x676f02d9, 14);
    BW_MD5_STEP(G, b, c, d, a, 12, 0x8d2a4c8a, 20);

    BW_MD5_STEP(H, a, b, c, d, 5, 0xfffa3942, 4);
    BW_MD5_STEP(H, d, a, b, c, 8, 0x8771f681, 11);
    BW_MD5_STEP(H, c, d, a, b, 11, 0x6d9d6122, 16);
    BW_MD5_STEP(H, b, c, d, a, 14, 0xfde5380c, 23);
    BW_MD5_STEP(H, a, b, c, d, 1, 0xa4beea44, 4);
    BW_MD5_STEP(H, d, a, b, c, 4, 0x4bdecfa9, 11);
    BW_MD5_STEP(H, c, d, a, b, 7, 0xf6bb4b60, 16);
    BW_MD5_STEP(H, b, c, d, a, 10, 0xbebfbc70, 23);
    BW_MD5_STEP(H, a, b, c, d, 13, 0x289b7ec6, 4);
    BW_MD5_STEP(H, d, a, b, c, 0, 0xeaa127fa, 11);
    BW_MD5_STEP(H, c, d, a, b, 3, 0xd4ef3085, 16);
    BW_MD5_STEP(H, b, c, d, a, 6, 0x04881d05, 23);
    BW_MD5_STEP(H, a, b, c, d, 9, 0xd9d4d039, 4);
    BW_MD5_STEP(H, d, a, b, c, 12, 0xe6db99e5, 11);
    BW_MD5_STEP(H, c, d, a, b, 15, 0x1fa27cf8, 16);
    BW_MD5_STEP(H, b, c, d, a, 2, 0xc4ac5665, 23);

    BW_MD5_STEP(I, a, b, c, d, 0, 0xf4292244, 6);
    BW_MD5_STEP(I, d, a, b, c, 7, 0x432aff97, 10);
    BW_MD5_STEP(I, c, d, a, b, 14, 0xab9423a7, 15);
    BW_MD5_STEP(I, b, c, d, a, 5, 0xfc93a039, 21);
    BW_MD5_STEP(I, a, b, c, d, 12, 0x655b59c3, 6);
    BW_MD5_STEP(I, d, a, b, c, 3, 0x8f0ccc92, 10);
    BW_MD5_STEP(I, c, d, a, b, 10, 0xffeff47d, 15);
    BW_MD5_STEP(I, b, c, d, a, 1, 0x85845dd1, 21);
    BW_MD5_STEP(I, a, b, c, d, 8, 0x6fa87e4f, 6);
    BW_MD5_STEP(I, d, a, b, c, 15, 0xfe2ce6e0, 10);
    BW_MD5_STEP(I, c, d, a, b, 6, 0xa3014314, 15);
    BW_MD5_STEP(I, b, c, d, a, 13, 0x4e0811a1, 21);
    BW_MD5_STEP(I, a, b, c, d, 4, 0xf7537e82, 6);
    BW_MD5_STEP(I, d, a, b, c, 11, 0xbd3af235, 10);
    BW_MD5_STEP(I, c, d, a, b, 2, 0x2ad7d2bb, 15);
    BW_MD5_STEP(I, b, c, d, a, 9, 0xeb86d391, 21);

    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
  }
}

#undef BW_MD5_STEP

}  // namespace

void Md5::Hash(const void* data, size_t length, uint8_t digest[kDigestSize]) {
  Md5 md5;
  md5.Update(data, length);
  md5.Final(digest);
}

std::string Md5::Hex(const uint8_t digest[kDigestSize]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(2 * kDigestSize, '0');
  for (size_t i = 0; i < kDigestSize; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return text;
}

void Md5::Reset() {
  s_[0] = 0x67452301;
  s_[1] = 0xefcdab89;
  s_[2] = 0x98badcfe;
  s_[3] = 0x10325476;
  length_ = 0;
}

void Md5::Update(const void* data, size_t length) {
  if (length == 0) return;
  const size_t index = size_t(length_ % kBlockSize);
  length_ += length;
  FeedHashBlocks(block_, index, static_cast<const uint8_t*>(data), length,
                 [this](const uint8_t* p, size_t n) { Compress(s_, p, n); });
}

void Md5::Final(uint8_t digest[kDigestSize]) {
  const uint64_t bits = length_ * 8;  // the length counts modulo 2^64 bits
  uint8_t bitLength[8];
  for (int i = 0; i < 8; ++i) bitLength[i] = uint8_t(bits >> (8 * i));
  PadHashBlocks(block_, size_t(length_ % kBlockSize), bitLength,
                [this](const uint8_t* p, size_t n) { Compress(s_, p, n); });
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(s_[i] >> (8 * j));
  Reset();
}

}  // namespace bw
