#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bw {

// The 64-byte block buffering and final padding shared by SHA-1 and MD5. compress(blocks, count)
// hashes whole blocks.
constexpr size_t kHashBlockSize = 64;

// Feeds data after the `index` bytes already in the block; whole blocks are hashed straight from
// the data. Returns the bytes now held in the block, always fewer than 64.
template <class Compress>
size_t FeedHashBlocks(uint8_t* block, size_t index, const uint8_t* data, size_t length,
                      Compress&& compress) {
  if (index != 0) {
    const size_t take = length < kHashBlockSize - index ? length : kHashBlockSize - index;
    std::memcpy(block + index, data, take);
    data += take;
    length -= take;
    index += take;
    if (index < kHashBlockSize) return index;
    compress(block, 1);
  }
  const size_t whole = length / kHashBlockSize;
  if (whole != 0) compress(data, whole);
  length -= whole * kHashBlockSize;
  std::memcpy(block, data + whole * kHashBlockSize, length);
  return length;
}

// Ends the message held in the block: the byte 0x80, zeros, and the 8 bytes of the message
// length in bits as the hash encodes them.
template <class Compress>
void PadHashBlocks(uint8_t* block, size_t index, const uint8_t bitLength[8], Compress&& compress) {
  block[index++] = 0x80;
  if (index > kHashBlockSize - 8) {
    std::memset(block + index, 0, kHashBlockSize - index);
    compress(block, 1);
    index = 0;
  }
  std::memset(block + index, 0, kHashBlockSize - 8 - index);
  std::memcpy(block + kHashBlockSize - 8, bitLength, 8);
  compress(block, 1);
}

}  // namespace bw
