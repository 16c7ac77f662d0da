#pragma once
#include <cstdint>
#include <string>

namespace bwpack {

// What one reading of a package file gives: its size, its MD5 and the SHA-1 of each piece.
struct FileDigests {
  uint64_t size = 0;
  std::string md5Hex;
  std::string pieceHashes;  // 20 bytes a piece
};

// false when the file cannot be read whole.
bool DigestFile(const std::string& path, uint64_t pieceLength, FileDigests* out);

}  // namespace bwpack
