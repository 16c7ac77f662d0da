// Any bytes as a pending-block file: records are taken only while they are sound, and every
// block they yield lies inside its piece and inside the input.
#include <cstddef>
#include <cstdint>

#include "engine/storage/TPendingBlocks.h"

namespace {

// The layout the seeds were written for: 500,000 bytes in pieces of 256 KiB.
constexpr int64_t kPiece = 256 * 1024;
constexpr int64_t kTotal = 500000;
const uint8_t kHash[20] = {7, 7, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bw::TPendingBlocks::Layout layout{kHash, kPiece, kTotal};
  for (const bw::TPendingBlocks::Record& record : bw::TPendingBlocks::Decode(data, size, layout)) {
    const int64_t pieceSize = record.index == 0 ? kPiece : kTotal - kPiece;
    if (record.index < 0 || record.index > 1 || record.blocks.empty()) __builtin_trap();
    for (const bw::TPendingBlocks::Block& block : record.blocks) {
      if (block.offset < record.part || block.offset >= pieceSize || block.offset % 16384 != 0 || block.data < data ||
          block.data + 16384 > data + size) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
