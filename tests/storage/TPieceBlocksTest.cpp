#include "engine/storage/TPieceBlocks.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "engine/common/QBufferPool.h"

namespace bw {
namespace {

// A piece of three chunks, the last one short: blocks come and go, and a piece that gave all of
// its memory back takes blocks again.
TEST(TPieceBlocksTest, BlocksComeGoAndComeAgain) {
  QBufferPool pool;
  TPieceBlocks blocks;
  const int32_t size = 2 * TPieceBlocks::kChunkSize + kBlockSize + 100;
  blocks.Init(size);
  EXPECT_FALSE(blocks.AnyFrom(0));
  EXPECT_FALSE(blocks.Has(0));
  EXPECT_FALSE(blocks.HasRange(0, 1));
  std::vector<uint8_t> data(kBlockSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  for (int32_t offset = 0; offset < TPieceBlocks::kChunkSize; offset += kBlockSize) {
    ASSERT_TRUE(blocks.Store(pool, offset, data.data(), kBlockSize));
  }
  const int32_t last = 2 * TPieceBlocks::kChunkSize + kBlockSize;
  ASSERT_TRUE(blocks.Store(pool, last, data.data(), 100));
  EXPECT_FALSE(blocks.Store(pool, last, data.data(), kBlockSize)) << "the last block is short";
  EXPECT_EQ(blocks.BytesHeld(), TPieceBlocks::kChunkSize + 100);
  EXPECT_EQ(blocks.RunFrom(0), TPieceBlocks::kChunkSize);
  EXPECT_TRUE(blocks.AnyFrom(TPieceBlocks::kChunkSize));
  uint8_t out[8];
  blocks.CopyOut(kBlockSize + 3, sizeof out, out);
  EXPECT_EQ(out[0], 3);

  TPieceBlocks moved(std::move(blocks));
  EXPECT_EQ(moved.BytesHeld(), TPieceBlocks::kChunkSize + 100);
  EXPECT_TRUE(moved.Has(last));
  EXPECT_FALSE(moved.ReleasePrefix(kBlockSize)) << "not on a chunk boundary";
  ASSERT_TRUE(moved.ReleasePrefix(size));
  EXPECT_TRUE(moved.Empty());
  EXPECT_FALSE(moved.AnyFrom(0));
  ASSERT_TRUE(moved.Store(pool, kBlockSize, data.data(), kBlockSize));
  EXPECT_TRUE(moved.Has(kBlockSize));
  EXPECT_FALSE(moved.Has(0));
  moved.Clear();
  EXPECT_TRUE(moved.Empty());
  EXPECT_EQ(pool.UsedBytes(), 0);
}

}  // namespace
}  // namespace bw
