#include "engine/storage/TPieceBlocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
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

// Memory for receiving blocks where they belong: it reaches over the absent blocks of one chunk
// and no further than asked, a block stored from it is taken as it stands, and a chunk taken for
// it that never got a block goes back with the rest.
TEST(TPieceBlocksTest, SpaceTakesBlocksWhereTheyBelong) {
  QBufferPool pool;
  TPieceBlocks blocks;
  constexpr int32_t kChunk = TPieceBlocks::kChunkSize;
  blocks.Init(2 * kChunk + 100);
  std::vector<uint8_t> data(kBlockSize, 7);
  ASSERT_TRUE(blocks.Store(pool, 3 * kBlockSize, data.data(), kBlockSize));
  struct Case {
    int32_t offset;
    int32_t length;
    size_t size;
  };
  for (const Case c : {Case{kBlockSize, kChunk, 2 * kBlockSize},  // up to the present block
                       Case{5 * kBlockSize, kChunk, kChunk - 5 * kBlockSize},  // up to the chunk's end
                       Case{5 * kBlockSize, kBlockSize + 1, 2 * kBlockSize},   // blocks starting inside
                       Case{2 * kChunk, kChunk, 100},                          // the short last block
                       Case{3 * kBlockSize, kBlockSize, 0},                    // present
                       Case{100, kBlockSize, 0},                               // not a block
                       Case{2 * kChunk + kBlockSize, kBlockSize, 0}}) {        // outside the piece
    SCOPED_TRACE(testing::Message() << c.offset << " " << c.length);
    EXPECT_EQ(blocks.Space(pool, c.offset, c.length).size(), c.size);
  }
  const std::span<uint8_t> space = blocks.Space(pool, kBlockSize, 2 * kBlockSize);
  for (size_t i = 0; i < space.size(); ++i) space[i] = static_cast<uint8_t>(i % 251);
  ASSERT_TRUE(blocks.Store(pool, kBlockSize, space.data(), kBlockSize));
  ASSERT_TRUE(blocks.Store(pool, 2 * kBlockSize, space.data() + kBlockSize, kBlockSize));
  EXPECT_EQ(blocks.BytesHeld(), 3 * kBlockSize);
  EXPECT_EQ(blocks.RunFrom(kBlockSize), 3 * kBlockSize);
  std::vector<uint8_t> out(2 * kBlockSize);
  blocks.CopyOut(kBlockSize, 2 * kBlockSize, out.data());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), space.begin()));
  blocks.Clear();
  EXPECT_EQ(pool.UsedBytes(), 0);
}

}  // namespace
}  // namespace bw
