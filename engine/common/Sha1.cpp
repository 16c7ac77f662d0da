#include "engine/common/Sha1.h"

#include "engine/common/HashBlocks.h"

#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define BW_SHA1_X86 1
#endif

namespace bw {
namespace {

uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Offsets in the 104-byte state record.
constexpr size_t kHashAt = 0;
constexpr size_t kLengthLowAt = 20;
constexpr size_t kLengthHighAt = 24;
constexpr size_t kIndexAt = 28;
constexpr size_t kBlockAt = 32;
constexpr size_t kComputedAt = 96;
constexpr size_t kCorruptedAt = 100;

constexpr uint32_t kInit[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

// ---- portable path ----------------------------------------------------------------------------

// The schedule is kept in a ring of 16 words; t is a constant after unrolling.
inline uint32_t Schedule(uint32_t w[16], int t) {
  if (t < 16) return w[t];
  uint32_t v = std::rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
  w[t & 15] = v;
  return v;
}

inline uint32_t Choose(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t Parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t Majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) + (d & (b ^ c)); }

// The newest value, a, is added last so the other terms are ready before it.
#define BW_SHA1_STEP(a, b, c, d, e, f, k, t) \
  e += (k) + Schedule(w, t) + f(b, c, d);    \
  e += std::rotl(a, 5);                      \
  b = std::rotl(b, 30)

// Five steps bring the variable roles back to where they started.
#define BW_SHA1_FIVE(f, k, t)                  \
  BW_SHA1_STEP(a, b, c, d, e, f, k, t);        \
  BW_SHA1_STEP(e, a, b, c, d, f, k, (t) + 1);  \
  BW_SHA1_STEP(d, e, a, b, c, f, k, (t) + 2);  \
  BW_SHA1_STEP(c, d, e, a, b, f, k, (t) + 3);  \
  BW_SHA1_STEP(b, c, d, e, a, f, k, (t) + 4)

#define BW_SHA1_TWENTY(f, k, t)  \
  BW_SHA1_FIVE(f, k, t);         \
  BW_SHA1_FIVE(f, k, (t) + 5);   \
  BW_SHA1_FIVE(f, k, (t) + 10);  \
  BW_SHA1_FIVE(f, k, (t) + 15)

void CompressPortable(uint32_t h[5], const uint8_t* p, size_t count) {
  for (; count; --count, p += Sha1::kBlockSize) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    BW_SHA1_TWENTY(Choose, 0x5A827999, 0);
    BW_SHA1_TWENTY(Parity, 0x6ED9EBA1, 20);
    BW_SHA1_TWENTY(Majority, 0x8F1BBCDC, 40);
    BW_SHA1_TWENTY(Parity, 0xCA62C1D6, 60);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
}

#undef BW_SHA1_TWENTY
#undef BW_SHA1_FIVE
#undef BW_SHA1_STEP

// ---- SHA extensions ---------------------------------------------------------------------------

#ifdef BW_SHA1_X86
#define BW_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Rounds 4g .. 4g+3. msg[g % 4] holds their schedule words (the first four groups load theirs);
// the same step finishes the words of later groups (msg1 three groups ahead, xor two ahead,
// msg2 one ahead). Even groups take their E from e[0], odd ones from e[1].
template <int g>
BW_SHA_TARGET __attribute__((always_inline)) inline void ShaNiGroup(const uint8_t* p,
                                                                    __m128i& abcd, __m128i e[2],
                                                                    __m128i msg[4]) {
  if constexpr (g < 4) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    msg[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)),
                              byteSwap);
  }
  __m128i& cur = e[g & 1];
  __m128i& next = e[(g + 1) & 1];
  if constexpr (g == 0)
    cur = _mm_add_epi32(cur, msg[0]);
  else
    cur = _mm_sha1nexte_epu32(cur, msg[g & 3]);
  next = abcd;
  if constexpr (g >= 3 && g <= 18)
    msg[(g + 1) & 3] = _mm_sha1msg2_epu32(msg[(g + 1) & 3], msg[g & 3]);
  abcd = _mm_sha1rnds4_epu32(abcd, cur, g / 5);
  if constexpr (g >= 1 && g <= 16)
    msg[(g + 3) & 3] = _mm_sha1msg1_epu32(msg[(g + 3) & 3], msg[g & 3]);
  if constexpr (g >= 2 && g <= 17) msg[(g + 2) & 3] = _mm_xor_si128(msg[(g + 2) & 3], msg[g & 3]);
}

template <int... g>
BW_SHA_TARGET __attribute__((always_inline)) inline void ShaNiRounds(
    const uint8_t* p, __m128i& abcd, __m128i e[2], std::integer_sequence<int, g...>) {
  __m128i msg[4];
  (ShaNiGroup<g>(p, abcd, e, msg), ...);
}

BW_SHA_TARGET void CompressShaNi(uint32_t h[5], const uint8_t* p, size_t count) {
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
  __m128i e[2] = {_mm_set_epi32(int(h[4]), 0, 0, 0), _mm_setzero_si128()};
  for (; count; --count, p += Sha1::kBlockSize) {
    const __m128i abcdSaved = abcd;
    const __m128i eSaved = e[0];
    ShaNiRounds(p, abcd, e, std::make_integer_sequence<int, 20>());
    e[0] = _mm_sha1nexte_epu32(e[0], eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = uint32_t(_mm_extract_epi32(e[0], 3));
}

#undef BW_SHA_TARGET
#endif

}  // namespace

bool Sha1::HasShaExtensions() {
#ifdef BW_SHA1_X86
  static const bool present = [] {
    // cpuid directly: clang 14 (the fuzz build) knows no "sha" feature name.
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
  }();
  return present;
#else
  return false;
#endif
}

Sha1::Sha1(Engine engine) : compress_(CompressPortable) {
#ifdef BW_SHA1_X86
  if (engine != Engine::kPortable && HasShaExtensions()) compress_ = CompressShaNi;
#else
  (void)engine;
#endif
  Reset();
}

void Sha1::Hash(const void* data, size_t length, uint8_t digest[kDigestSize]) {
  Sha1 sha;
  sha.Input(data, length);
  sha.Result(digest);
}

void Sha1::Reset() {
  std::memcpy(h_, kInit, sizeof h_);
  lengthBits_ = 0;
  index_ = 0;
  std::memset(block_, 0, sizeof block_);
  computed_ = false;
  corrupted_ = kSuccess;
}

Sha1::Status Sha1::Input(const void* data, size_t length) {
  if (length == 0) return kSuccess;
  if (data == nullptr) return kNull;
  if (computed_) return corrupted_ = kStateError;
  if (corrupted_ != kSuccess) return corrupted_;
  // The bit count must stay below 2^64.
  if (length > (UINT64_MAX - lengthBits_) / 8) return corrupted_ = kInputTooLong;
  lengthBits_ += uint64_t(length) * 8;

  index_ = uint32_t(FeedHashBlocks(block_, index_, static_cast<const uint8_t*>(data), length,
                                   [this](const uint8_t* p, size_t n) { compress_(h_, p, n); }));
  return kSuccess;
}

Sha1::Status Sha1::Result(uint8_t digest[kDigestSize]) {
  if (digest == nullptr) return kNull;
  if (corrupted_ != kSuccess) return corrupted_;
  if (!computed_) {
    uint8_t bitLength[8];
    for (int i = 0; i < 8; ++i) bitLength[i] = uint8_t(lengthBits_ >> (56 - 8 * i));
    PadHashBlocks(block_, index_, bitLength,
                  [this](const uint8_t* p, size_t n) { compress_(h_, p, n); });
    // The message may be sensitive: keep nothing of it once the digest is out.
    std::memset(block_, 0, sizeof block_);
    index_ = 0;
    lengthBits_ = 0;
    computed_ = true;
  }
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = uint8_t(h_[i] >> 24);
    digest[4 * i + 1] = uint8_t(h_[i] >> 16);
    digest[4 * i + 2] = uint8_t(h_[i] >> 8);
    digest[4 * i + 3] = uint8_t(h_[i]);
  }
  return kSuccess;
}

void Sha1::ExportState(uint8_t out[kStateSize]) const {
  for (int i = 0; i < 5; ++i) StoreLe32(out + kHashAt + 4 * i, h_[i]);
  StoreLe32(out + kLengthLowAt, uint32_t(lengthBits_));
  StoreLe32(out + kLengthHighAt, uint32_t(lengthBits_ >> 32));
  StoreLe32(out + kIndexAt, index_);  // 16-bit index, then two zero bytes
  std::memcpy(out + kBlockAt, block_, kBlockSize);
  StoreLe32(out + kComputedAt, computed_ ? 1 : 0);
  StoreLe32(out + kCorruptedAt, corrupted_);
}

bool Sha1::ImportState(const uint8_t* state, size_t length) {
  if (state == nullptr || length < kStateSize) return false;
  const uint32_t index = uint32_t(state[kIndexAt]) | uint32_t(state[kIndexAt + 1]) << 8;
  const uint64_t bits =
      uint64_t(LoadLe32(state + kLengthHighAt)) << 32 | LoadLe32(state + kLengthLowAt);
  // A finished or corrupted state cannot be continued; the index addresses the block buffer and
  // must agree with the length, which only ever grows in whole bytes.
  if (LoadLe32(state + kComputedAt) != 0 || LoadLe32(state + kCorruptedAt) != 0) return false;
  if (index >= kBlockSize || bits % (kBlockSize * 8) != uint64_t(index) * 8) return false;

  for (int i = 0; i < 5; ++i) h_[i] = LoadLe32(state + kHashAt + 4 * i);
  lengthBits_ = bits;
  index_ = index;
  std::memcpy(block_, state + kBlockAt, kBlockSize);
  computed_ = false;
  corrupted_ = kSuccess;
  return true;
}

}  // namespace bw
