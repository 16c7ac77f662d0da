#pragma once
#include <cstdint>

namespace bwpack {

// The five files of the package in row order (row 0 is the installer), the piece length of each
// file's torrent, and the sizes of the demo files: small ones of a few pieces each, and the full
// sizes of the real package for the scale benchmark.
struct LayoutRow {
  const char* name;
  uint64_t pieceLength;
  uint64_t smallSize;
  uint64_t fullSize;
};

inline constexpr LayoutRow kLayout[] = {
    {"Inst.exe", 32768, 300000, 8299520},         {"tnw001.cab", 1048576, 2621447, 1932735283},
    {"tnw002.cab", 1048576, 2359301, 1932735283}, {"tnw003.cab", 1048576, 2097153, 1932735283},
    {"tnw004.cab", 262144, 700001, 368826489},
};

}  // namespace bwpack
