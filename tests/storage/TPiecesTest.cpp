#include "engine/storage/TPieces.h"

#include <gtest/gtest.h>

#include "platform/File.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr int32_t kBlock = kBlockSize;

// A single-file map over random content, saved in a fresh folder.
class PiecesFixture : public ::testing::Test {
 protected:
  void Load(int64_t length, int64_t pieceLength) {
    content = test::Content(static_cast<size_t>(length));
    std::string info = test::SingleInfo("data.bin", length, pieceLength,
                                        test::PieceHashes(content, pieceLength));
    map.SetSaveDirectory(dir.path);
    ASSERT_TRUE(map.LoadInfo(*test::Parse(info)));
  }
  int64_t Give(int64_t block, test::FakeSource* source = nullptr, bool* accepted = nullptr,
               const std::string* from = nullptr) {
    const std::string& data = from ? *from : content;
    int64_t at = block * kBlock;
    int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlock, map.TotalLength() - at));
    bool dummy;
    return map.ReceiveBlock(block, length, reinterpret_cast<const uint8_t*>(data.data() + at),
                            source, accepted ? accepted : &dummy);
  }
  void GivePiece(int64_t piece) {
    int64_t first = piece * map.PieceLength() / kBlock;
    int64_t end = std::min<int64_t>((piece + 1) * map.PieceLength(), map.TotalLength());
    for (int64_t b = first; b * kBlock < end; ++b) Give(b);
  }

  test::TempDir dir;
  test::FakeTask task;
  TPieces map{task};
  std::string content;
};

TEST_F(PiecesFixture, WholeContentArrivesVerifiedAndIsWrittenAndRenamed) {
  Load(8299520, 32768);
  for (int64_t b = 0; b * kBlock < map.TotalLength(); ++b) {
    bool accepted = false;
    ASSERT_EQ(Give(b, nullptr, &accepted), std::min<int64_t>(kBlock, map.TotalLength() - b * kBlock));
    ASSERT_TRUE(accepted);
  }
  EXPECT_TRUE(map.Piece(253).Dirty);
  EXPECT_FALSE(map.IsPieceComplete(0));
  map.FlushPieces();
  EXPECT_TRUE(map.IsComplete());
  EXPECT_EQ(map.BytesComplete(), 8299520);
  EXPECT_EQ(map.LastCompleted(), 253);
  EXPECT_EQ(task.Count(TPiecesEvent::kPieceState), 254);
  map.CloseFiles(false, true);
  EXPECT_EQ(map.Files()[0].Path, dir.path + "data.bin");
  EXPECT_EQ(test::ReadAll(dir.path + "data.bin"), content);
  EXPECT_FALSE(platform::PathExists(dir.path + "data.bin.bwtmp"));
  EXPECT_NE(task.Last(TPiecesEvent::kResumeRecord), nullptr);
}

// A map built from a size alone has no hashes to wait for: it hands out work and completes on
// whatever bytes arrive, and only counts as verified once every piece is.
TEST_F(PiecesFixture, TemplateMapIsReadyWithoutHashes) {
  const int64_t length = 3 * 32768 + 100;
  content = test::Content(static_cast<size_t>(length));
  map.SetTargetPath(dir.path + "plain.bin");
  ASSERT_TRUE(map.LoadTemplate(length, 32768));
  EXPECT_TRUE(map.IsReady());
  EXPECT_FALSE(map.HasHashes());
  for (int64_t b = 0; b * kBlock < length; ++b) {
    EXPECT_FALSE(map.AllVerified());
    ASSERT_GT(Give(b), 0);
  }
  EXPECT_TRUE(map.AllVerified());
  EXPECT_FALSE(map.IsComplete()) << "verified in memory is not yet on disk";
  map.FlushPieces();
  EXPECT_TRUE(map.IsComplete());
  map.CloseFiles(false, true);
  EXPECT_EQ(test::ReadAll(dir.path + "plain.bin"), content);
}

TEST_F(PiecesFixture, BlocksForCompleteOrSkippedPiecesAreTakenButNotStored) {
  Load(4 * 32768, 32768);
  GivePiece(0);
  map.FlushPieces();
  ASSERT_TRUE(map.IsPieceComplete(0));
  bool accepted = true;
  EXPECT_EQ(Give(0, nullptr, &accepted), kBlock);
  EXPECT_FALSE(accepted);

  ASSERT_TRUE(map.SelectFile(0, true));
  EXPECT_TRUE(map.Piece(1).Skip);
  EXPECT_EQ(map.PiecesWanted(), 0);
  accepted = true;
  EXPECT_EQ(Give(2, nullptr, &accepted), kBlock);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(map.PieceBytesInMemory(1), 0);
  EXPECT_EQ(map.CountDoneOrSkipped(), 4);

  // Out of range or the wrong length: refused, nothing changes.
  uint8_t block[kBlock] = {};
  EXPECT_EQ(map.ReceiveBlock(8, kBlock, block, nullptr, &accepted), -1);
  EXPECT_EQ(map.ReceiveBlock(-1, kBlock, block, nullptr, &accepted), -1);
  map.SelectFile(0, false);
  EXPECT_EQ(map.ReceiveBlock(2, 100, block, nullptr, &accepted), -1);
}

// A failed piece is charged to the source that sent all of it; when several sent it (an honest
// peer finishing a liar's piece in the end game) or part came from nobody known, to none.
TEST(PieceFailure, TheSourceThatSentAllOfAFailedPieceIsChargedAndReported) {
  test::FakeSource honest(IPieceSource::kBitTorrent, 0x0A000101, 6881, "");
  test::FakeSource liar(IPieceSource::kBitTorrent, 0x0A000102, 6881, "");
  test::FakeSource ftp(IPieceSource::kFtp, 0, 0, "ftp://host/f");
  struct Case {
    const char* name;
    test::FakeSource* first;   // sends block 0 of the piece, corrupt when it is the liar or ftp; null: unknown
    test::FakeSource* second;  // sends block 1
    test::FakeSource* charged;
    const char* report;
  };
  const Case cases[] = {
      {"one liar sends it all", &liar, &liar, &liar, "11500102 10.0.1.2 : 6881"},
      {"an FTP source sends it all", &ftp, &ftp, &ftp, "11500101 ftp://host/f"},
      {"an honest peer finishes a liar's piece", &liar, &honest, nullptr, nullptr},
      {"a liar finishes an honest peer's piece", &honest, &liar, nullptr, nullptr},
      {"part of it came from nobody known", nullptr, &liar, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::FakeTask task;
    const std::string content = test::Content(4 * 32768);
    std::string corrupt = content;
    for (size_t at = 0; at < corrupt.size(); at += kBlock) corrupt[at + 5] ^= 1;
    {
      TPieces map(task);
      map.SetSaveDirectory(dir.path);
      ASSERT_TRUE(map.LoadInfo(
          *test::Parse(test::SingleInfo("data.bin", 4 * 32768, 32768, test::PieceHashes(content, 32768)))));
      const auto give = [&](int64_t block, test::FakeSource* source) {
        const bool bad = source == &liar || source == &ftp;
        const auto* data = reinterpret_cast<const uint8_t*>((bad ? corrupt : content).data() + block * kBlock);
        bool accepted;
        return map.ReceiveBlock(block, kBlock, data, source, &accepted);
      };
      EXPECT_EQ(give(2, c.first), kBlock);
      EXPECT_EQ(give(3, c.second), -99);
      EXPECT_EQ(map.PieceBytesInMemory(1), 0);
      EXPECT_EQ(map.CacheBytes(), 0);
      for (test::FakeSource* s : {&honest, &liar, &ftp}) {
        EXPECT_EQ(s->failures, s == c.charged ? 1 : 0);
        EXPECT_EQ(s->refs, 0) << "the failed piece lets go of its sources";
        s->failures = 0;
      }
      EXPECT_EQ(task.reports, c.report ? std::vector<std::string>{c.report} : std::vector<std::string>{});
      const test::FakeTask::Seen* failed = task.Last(TPiecesEvent::kPieceFailed);
      ASSERT_NE(failed, nullptr) << "the task learns that the piece is wanted again";
      EXPECT_EQ(failed->bytes, std::string("\x01\0\0\0", 4));
      EXPECT_TRUE(map.IsPieceWanted(1));
    }
  }
}

TEST_F(PiecesFixture, AGoodCopyOfAFailedPieceClearsTheFailuresOfAllWhoSentIt) {
  Load(4 * 32768, 32768);
  test::FakeSource first(IPieceSource::kHttp, 0, 0, "http://mirror/file");
  test::FakeSource second(IPieceSource::kBitTorrent, 0x0A000102, 6881, "");
  first.failures = second.failures = 2;
  Give(4, &first);
  Give(5, &second);
  EXPECT_TRUE(map.Piece(2).Verified);
  EXPECT_EQ(first.failures, 0);
  EXPECT_EQ(second.failures, 0);
  EXPECT_EQ(first.refs, 1);
  map.FlushPieces();  // writing the piece lets go of its sources
  EXPECT_EQ(first.refs, 0);
  EXPECT_EQ(second.refs, 0);
}

TEST_F(PiecesFixture, IdlePrefixIsWrittenEarlyAndItsHashStateCarriesOn) {
  Load(2 * 262144 + 5000, 262144);  // 256 KiB pieces: two 128 KiB chunks each
  for (int b = 0; b < 12; ++b) Give(b);  // 192 KiB of piece 0
  task.now += 601;
  map.MaintainCache();
  EXPECT_EQ(map.Piece(0).HashedPrefix, 131072);
  ASSERT_NE(map.Piece(0).Sha1State, nullptr);
  EXPECT_EQ(map.PieceBytesInMemory(0), 65536);
  EXPECT_EQ(map.CacheBytes(), 65536);

  // Blocks before the prefix are not stored again; the rest completes the piece from memory.
  bool accepted = false;
  EXPECT_EQ(Give(0, nullptr, &accepted), kBlock);
  EXPECT_TRUE(accepted);
  EXPECT_EQ(map.PieceBytesInMemory(0), 65536);
  for (int b = 12; b < 16; ++b) Give(b);
  EXPECT_TRUE(map.Piece(0).Verified);
  map.FlushPieces();
  EXPECT_TRUE(map.IsPieceComplete(0));
  EXPECT_EQ(map.Piece(0).Sha1State, nullptr);

  uint8_t out[kBlock];
  EXPECT_EQ(map.ReadPieceData(0, out, kBlock, 0, 0, false), kBlock);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), kBlock), content.substr(0, kBlock));
  EXPECT_EQ(map.ReadPieceData(1, out, kBlock, 0, 0, false), 0);  // not complete
}

TEST_F(PiecesFixture, ReadsComeFromDiskWithReadAheadThenFromMemory) {
  Load(4 * 262144, 262144);
  for (int p = 0; p < 4; ++p) GivePiece(p);
  map.FlushPieces();
  for (int p = 0; p < 4; ++p) map.ResetPiece(p);  // complete pieces keep their data
  map.SetCacheUnits(4);
  task.now += 2 * TPieces::kHour;
  map.TrimCache();
  EXPECT_EQ(map.CacheBytes(), 0);
  uint8_t out[kBlock];
  ASSERT_EQ(map.ReadBlock(17, kBlock, out, 0, false), kBlock);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), kBlock), content.substr(17 * kBlock, kBlock));
  EXPECT_EQ(map.CacheBytes(), 5 * kBlock);  // the block and 64 KiB beyond it
  EXPECT_TRUE(map.HasGlobalBlock(21));
  int32_t hits = map.ReadHits();
  ASSERT_EQ(map.ReadBlock(18, kBlock, out, 0, false), kBlock);
  EXPECT_EQ(map.ReadHits(), hits + 1);
}

TEST_F(PiecesFixture, CacheLimitsAndTrimKeepDirtyDataAndDropOldReadCache) {
  Load(40 * 262144, 262144);
  map.SetCacheUnits(2);
  EXPECT_EQ(map.CacheLimit(), 1 << 20);
  map.SetCacheUnits(10000);
  EXPECT_EQ(map.CacheLimit(), int64_t{8000} * 262144);
  map.SetCacheUnits(8);  // 2 MiB
  for (int p = 0; p < 6; ++p) GivePiece(p);
  EXPECT_EQ(map.CacheBytes(), 6 * 262144);
  // Above half the limit only a fifth of it stays dirty; the rest is written now.
  map.MaintainCache();
  EXPECT_LE(map.DirtyBytes(), 2 * 262144);
  int complete = 0;
  for (int p = 0; p < 6; ++p) complete += map.IsPieceComplete(p);
  EXPECT_GE(complete, 4);
  // Written pieces stay as read cache until they are old or the cache is over its limit.
  for (int p = 6; p < 12; ++p) GivePiece(p);
  map.FlushPieces();
  EXPECT_EQ(map.CacheBytes(), 12 * 262144);
  int32_t units = map.CheckCache();
  EXPECT_EQ(units, static_cast<int32_t>(map.CacheBytes() / 262144));
  EXPECT_LE(map.CacheBytes(), 2 * 1024 * 1024 - 262144);
  task.now += TPieces::kHour + 1;
  map.TrimCache();
  EXPECT_EQ(map.CacheBytes(), 0);
}

TEST_F(PiecesFixture, LimitOpenFilesClosesAllOnceTheLimitIsReached) {
  const int64_t L = 1 << 20;
  std::vector<test::FileSpec> files;
  for (int i = 0; i < 40; ++i) files.push_back({{std::string("f").append(std::to_string(i))}, 1000});
  map.SetSaveDirectory(dir.path);
  ASSERT_TRUE(map.LoadInfo(*test::Parse(test::MultiInfo("many", files, L, std::string(20, 'h')))));
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(map.OpenFileForRange(i, 1000, true, false));
  map.LimitOpenFiles();
  EXPECT_EQ(map.OpenFileCount(), 32);
  ASSERT_TRUE(map.OpenFileForRange(32, 1000, true, false));
  map.LimitOpenFiles();
  EXPECT_EQ(map.OpenFileCount(), 0);
  // Opened for writing, each file was allocated whole.
  EXPECT_EQ(platform::PathFileSize(dir.path + "many/f3.bwtmp"), 1000);
}

TEST_F(PiecesFixture, SetPieceStateKeepsCountersInRange) {
  Load(3 * 32768 + 100, 32768);
  EXPECT_FALSE(map.SetPieceState(0, false));
  EXPECT_TRUE(map.SetPieceState(3, true));
  EXPECT_EQ(map.BytesComplete(), 100);
  EXPECT_EQ(map.Bitfield(), std::string("\x10", 1));
  EXPECT_EQ(map.LastCompleted(), 3);
  EXPECT_TRUE(map.SetPieceState(3, false));
  EXPECT_EQ(map.LastCompleted(), -1);
  EXPECT_EQ(map.DonePieces(), 0);
  EXPECT_FALSE(map.SetPieceState(4, true));
  EXPECT_FALSE(map.SetPieceState(-1, true));
  const test::FakeTask::Seen* last = task.Last(TPiecesEvent::kPieceState);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->value, 0);
  EXPECT_EQ(last->bytes, std::string("\3\0\0\0", 4));
}

}  // namespace
}  // namespace bw
