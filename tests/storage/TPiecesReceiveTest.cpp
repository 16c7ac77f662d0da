// Blocks arriving in any order are hashed on arrival as far as they follow each other; these
// cases check that the verdict and the data on disk do not depend on the order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/TPieces.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr int32_t kBlock = kBlockSize;
constexpr int64_t kPiece = 262144;  // 16 blocks in two 128 KiB chunks
constexpr int kIdle = -1;           // the piece idles long enough for its start to be written

struct Arrival {
  const char* name;
  std::vector<int> blocks;  // of piece 0, in arrival order
};

std::vector<int> Range(int from, int to) {
  std::vector<int> blocks;
  for (int b = from; from <= to ? b <= to : b >= to; b += from <= to ? 1 : -1) blocks.push_back(b);
  return blocks;
}

std::vector<int> Join(std::vector<std::vector<int>> parts) {
  std::vector<int> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<Arrival>& Arrivals() {
  static const std::vector<Arrival> arrivals = {
      {"in order", Range(0, 15)},
      {"reversed", Range(15, 0)},
      {"odd blocks first", Join({{1, 3, 5, 7, 9, 11, 13, 15}, {0, 2, 4, 6, 8, 10, 12, 14}})},
      {"second chunk first", Join({Range(8, 15), Range(0, 7)})},
      {"repeats", Join({{0, 0, 1, 1, 2, 1, 0}, Range(3, 15)})},
      // The first chunk is written while the running hash is already past it.
      {"idle after ten", Join({Range(0, 9), {kIdle}, Range(10, 15)})},
      // The first chunk is written while the running hash waits at a gap it then crosses.
      {"idle at a gap", Join({Range(0, 8), {10, kIdle}, Range(11, 15), {9}})},
  };
  return arrivals;
}

class Receiver {
 public:
  Receiver() : content(test::Content(2 * kPiece)) {
    map.SetSaveDirectory(dir.path);
    map.LoadInfo(*test::Parse(test::SingleInfo("data.bin", 2 * kPiece, kPiece,
                                               test::PieceHashes(content, kPiece))));
  }
  // Results of ReceiveBlock that were -99.
  int Deliver(const std::vector<int>& blocks, const std::string& data) {
    int failures = 0;
    for (int b : blocks) {
      if (b == kIdle) {
        task.now += 601;
        map.MaintainCache();
        continue;
      }
      const auto* at = reinterpret_cast<const uint8_t*>(data.data()) + b * kBlock;
      bool accepted;
      failures += map.ReceiveBlock(b, kBlock, at, nullptr, &accepted) == -99;
    }
    return failures;
  }

  test::TempDir dir;
  test::FakeTask task;
  TPieces map{task};
  std::string content;
};

TEST(PieceArrival, AnyOrderVerifiesAndOneBadBlockFailsThePieceUntilAGoodCopyComes) {
  for (const Arrival& arrival : Arrivals()) {
    for (int bad : {-1, arrival.blocks.front(), arrival.blocks.back()}) {
      SCOPED_TRACE(std::string(arrival.name) + ", bad block " + std::to_string(bad));
      Receiver r;
      ASSERT_TRUE(r.map.IsValid());
      std::string data = r.content;
      if (bad >= 0) data[static_cast<size_t>(bad * kBlock + 77)] ^= 0x20;
      EXPECT_EQ(r.Deliver(arrival.blocks, data), bad >= 0 ? 1 : 0);
      if (bad >= 0) {
        EXPECT_FALSE(r.map.Piece(0).Verified);
        EXPECT_TRUE(r.map.IsPieceWanted(0));
        EXPECT_EQ(r.map.PieceBytesInMemory(0), 0);
        EXPECT_EQ(r.map.Piece(0).HashedPrefix, 0);
        EXPECT_EQ(r.Deliver(arrival.blocks, r.content), 0);
      }
      EXPECT_TRUE(r.map.Piece(0).Verified);
      EXPECT_EQ(r.map.Piece(0).AheadState, nullptr);
      EXPECT_FALSE(r.map.IsPieceWanted(0)) << "verified in memory, not yet written: no longer missing";
      r.map.FlushPieces();
      EXPECT_TRUE(r.map.IsPieceComplete(0));
      r.map.CloseFiles(false, false);
      EXPECT_EQ(test::ReadAll(r.dir.path + "data.bin.bwtmp").substr(0, kPiece), r.content.substr(0, kPiece));
    }
  }
}

// Blocks dropped while the piece was deselected take their share of the running hash with them.
TEST(PieceArrival, DroppedBlocksAreHashedAgainFromTheirNewCopy) {
  Receiver r;
  std::string bad = r.content;
  for (int b = 0; b < 6; ++b) bad[static_cast<size_t>(b * kBlock)] ^= 1;
  EXPECT_EQ(r.Deliver(Range(0, 5), bad), 0);
  ASSERT_TRUE(r.map.SelectFile(0, true));
  r.map.MaintainCache();
  ASSERT_EQ(r.map.PieceBytesInMemory(0), 0);
  ASSERT_TRUE(r.map.SelectFile(0, false));
  EXPECT_EQ(r.Deliver(Range(0, 15), r.content), 0);
  EXPECT_TRUE(r.map.Piece(0).Verified);
}

// A piece across files whose edges fall inside chunks and blocks is written from its chunks
// into each file at the right place, and read back across the same edges.
TEST(PieceArrival, PiecesAcrossUnevenFilesLandInEachFile) {
  const std::vector<test::FileSpec> files = {
      {{"a"}, 100000}, {{"b"}, 31073}, {{"c"}, 1}, {{"d"}, 0}, {{"e"}, 300000}, {{"f"}, 93214}};
  int64_t total = 0;
  for (const auto& f : files) total += f.length;
  test::TempDir dir;
  test::FakeTask task;
  TPieces map{task};
  const std::string content = test::Content(static_cast<size_t>(total));
  map.SetSaveDirectory(dir.path);
  const std::string info = test::MultiInfo("set", files, kPiece, test::PieceHashes(content, kPiece));
  ASSERT_TRUE(map.LoadInfo(*test::Parse(info)));
  ASSERT_EQ(map.PieceCount(), 2);
  bool accepted;
  for (int64_t b = (total - 1) / kBlock; b >= 0; --b) {
    const int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlock, total - b * kBlock));
    const auto* data = reinterpret_cast<const uint8_t*>(content.data()) + b * kBlock;
    ASSERT_EQ(map.ReceiveBlock(b, length, data, nullptr, &accepted), length);
  }
  map.FlushPieces();
  ASSERT_TRUE(map.IsComplete());
  map.CloseFiles(false, true);
  int64_t at = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.path[0]);
    EXPECT_EQ(test::ReadAll(dir.path + "set/" + f.path[0]),
              content.substr(static_cast<size_t>(at), static_cast<size_t>(f.length)));
    at += f.length;
  }
  for (int p = 0; p < 2; ++p) map.ResetPiece(p);
  task.now += 2 * TPieces::kHour;
  map.TrimCache();
  ASSERT_EQ(map.CacheBytes(), 0);
  std::string out(static_cast<size_t>(kPiece), '\0');
  ASSERT_EQ(map.ReadPieceData(0, reinterpret_cast<uint8_t*>(out.data()), kPiece, 0, 0, false), kPiece);
  EXPECT_EQ(out, content.substr(0, kPiece));
}

}  // namespace
}  // namespace bw
