#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bw {

// MD5 message digest (RFC 1321), streamed: a large file is fed block by block.
class Md5 {
 public:
  static constexpr size_t kDigestSize = 16;
  static constexpr size_t kBlockSize = 64;

  Md5() { Reset(); }

  // One-shot digest of a buffer.
  static void Hash(const void* data, size_t length, uint8_t digest[kDigestSize]);
  // The digest as 32 lower-case hexadecimal characters.
  static std::string Hex(const uint8_t digest[kDigestSize]);

  void Reset();
  void Update(const void* data, size_t length);
  // Writes the digest and starts over, so the object can hash the next message.
  void Final(uint8_t digest[kDigestSize]);

 private:
  uint32_t s_[4];
  uint64_t length_;  // bytes fed
  uint8_t block_[kBlockSize];
};

}  // namespace bw
