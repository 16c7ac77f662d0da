#pragma once
#include <cstddef>
#include <cstdint>

namespace bw {

// SHA-1 with the incremental Reset/Input/Result interface of RFC 3174. Its running state can be
// saved as the 104-byte little-endian record kept in the resume data and loaded into a fresh
// object, so a piece hashed half-way continues after a restart.
class Sha1 {
 public:
  static constexpr size_t kDigestSize = 20;
  static constexpr size_t kBlockSize = 64;
  static constexpr size_t kStateSize = 104;

  // Numbered as RFC 3174's result codes; kInputTooLong and kStateError also mark the state.
  enum Status : uint32_t { kSuccess = 0, kNull = 1, kInputTooLong = 2, kStateError = 3 };

  enum class Engine {
    kBest,      // the CPU's SHA extensions when present, else portable code
    kPortable,  // plain C++
    kShaNi,     // SHA extensions; falls back to kPortable without them
  };

  explicit Sha1(Engine engine = Engine::kBest);

  // True when this CPU has the SHA extensions (with SSSE3 and SSE4.1) the fast path needs.
  static bool HasShaExtensions();

  // One-shot digest of a buffer.
  static void Hash(const void* data, size_t length, uint8_t digest[kDigestSize]);

  void Reset();
  // Feeding after Result, or a corrupted state, fails and leaves the state marked.
  Status Input(const void* data, size_t length);
  // Pads and finishes once; later calls give the same digest.
  Status Result(uint8_t digest[kDigestSize]);

  // Bytes fed so far (0 once the digest has been computed).
  uint64_t InputBytes() const { return lengthBits_ / 8; }

  // The 104-byte record: five hash words, bit length low and high words, 16-bit block index and
  // 2 zero bytes, the 64-byte block, the computed flag, the corruption code; all little-endian.
  void ExportState(uint8_t out[kStateSize]) const;
  // Takes only a running state that can still take input and is self-consistent; on failure the
  // object is left as it was.
  bool ImportState(const uint8_t* state, size_t length);

 private:
  // Hashes whole 64-byte blocks into the five words.
  using CompressFn = void (*)(uint32_t h[5], const uint8_t* blocks, size_t count);

  CompressFn compress_;
  uint32_t h_[5];
  uint64_t lengthBits_;
  uint32_t index_;
  uint8_t block_[kBlockSize];
  bool computed_;
  Status corrupted_;
};

}  // namespace bw
