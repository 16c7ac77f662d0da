#include "engine/storage/TStartupState.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "engine/common/Adler32.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TPiece.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TResumeRecord.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr int64_t L = 256 * 1024;
constexpr int64_t kTotal = 1300000;  // files of 300000, 600000 and 400000 bytes: 5 pieces
const uint8_t kHash[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

// Bytes this process has read so far, whatever the reader.
int64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

struct Session {
  test::FakeTask task;
  TPieces map{task};
  bool loaded = false;
  int64_t bytesRead = 0;

  const std::string& Record() const { return task.Last(TPiecesEvent::kResumeRecord)->bytes; }
};

struct Options {
  std::string bits{};
  std::string part{};
  bool quick = false;
  const uint8_t* infoHash = kHash;
  int64_t pieceLength = L;
  TPieces* previous = nullptr;
};

class TStartupStateTest : public ::testing::Test {
 protected:
  std::string Info(int64_t pieceLength) const {
    return test::MultiInfo("pack", {{{"a.bin"}, 300000}, {{"b.bin"}, 600000}, {{"c.bin"}, 400000}},
                           pieceLength, test::PieceHashes(content, pieceLength));
  }
  std::unique_ptr<Session> Start(const Options& o = {}) {
    auto s = std::make_unique<Session>();
    s->map.SetSaveDirectory(dir.path);
    s->map.SetPendingPath(dir.path + "task.bwinfodf");
    s->map.SetWrittenLogPath(dir.path + "task.bwinfowl");
    s->map.SetUseResume(true);
    s->map.SetSavedRecord(o.bits);
    s->map.SetSavedSelection(o.part);
    s->map.SetQuickStart(o.quick);
    s->map.SetInfoHash(o.infoHash);
    s->map.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 40; });
    const int64_t before = BytesReadSoFar();
    s->loaded = s->map.LoadInfo(*test::Parse(Info(o.pieceLength)), o.previous);
    s->bytesRead = BytesReadSoFar() - before;
    return s;
  }
  // Hands over the blocks of [from, to) of the torrent.
  void Give(TPieces& map, int64_t from, int64_t to) {
    bool accepted;
    for (int64_t at = from; at < to; at += kBlockSize) {
      const int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, kTotal - at));
      map.ReceiveBlock(at / kBlockSize, length,
                       reinterpret_cast<const uint8_t*>(content.data() + at), nullptr, &accepted);
    }
  }
  // The data as finished files under their final names.
  void WriteFinalFiles() {
    std::filesystem::create_directories(dir.path + "pack");
    std::ofstream(dir.path + "pack/a.bin", std::ios::binary) << content.substr(0, 300000);
    std::ofstream(dir.path + "pack/b.bin", std::ios::binary) << content.substr(300000, 600000);
    std::ofstream(dir.path + "pack/c.bin", std::ios::binary) << content.substr(900000);
  }
  // A run stopped half-way: pieces 0 and 1 complete, piece 2 with a 128 KiB hashed prefix on
  // disk and one block beyond it in memory, piece 3 with two blocks in memory.
  std::string StopHalfWay() {
    auto s = Start();
    EXPECT_TRUE(s->loaded);
    Give(s->map, 0, 2 * L);
    Give(s->map, 2 * L, 2 * L + 9 * kBlockSize);
    Give(s->map, 3 * L + 2 * kBlockSize, 3 * L + 4 * kBlockSize);
    s->map.FlushPieces();
    s->task.now += 3600;
    s->map.MaintainCache();
    EXPECT_EQ(s->map.Piece(2).HashedPrefix, TPieces::kChunkSize);
    s->map.CloseFiles(true, false);
    EXPECT_TRUE(s->map.SavePendingBlocks());
    return s->Record();
  }

  test::TempDir dir;
  const std::string content = test::Content(static_cast<size_t>(kTotal), 7);
};

TEST_F(TStartupStateTest, StoppedHalfWayRestartsFromItsRecordWithoutHashingTheFiles) {
  const std::string bits = StopHalfWay();
  auto s = Start({.bits = bits});
  ASSERT_TRUE(s->loaded);
  EXPECT_LT(s->bytesRead, kTotal / 4);
  EXPECT_TRUE(s->map.IsPieceComplete(0));
  EXPECT_TRUE(s->map.IsPieceComplete(1));
  EXPECT_FALSE(s->map.IsPieceComplete(2));
  EXPECT_EQ(s->map.Piece(2).HashedPrefix, TPieces::kChunkSize);
  EXPECT_EQ(s->map.PieceBytesInMemory(2), kBlockSize);
  EXPECT_EQ(s->map.PieceBytesInMemory(3), 2 * kBlockSize);
  EXPECT_TRUE(s->map.IsReady());
  EXPECT_EQ(s->task.Count(TPiecesEvent::kCheck), 2);

  // The restored hash state and blocks finish the pieces they belong to.
  Give(s->map, 2 * L + 9 * kBlockSize, kTotal);
  Give(s->map, 3 * L, 3 * L + 2 * kBlockSize);
  s->map.FlushPieces();
  ASSERT_TRUE(s->map.IsComplete());
  s->map.CloseFiles(false, true);
  EXPECT_EQ(test::ReadAll(dir.path + "pack/b.bin"), content.substr(300000, 600000));
}

// A run ends without a word after writing pieces its last record does not count: the restart
// hashes just the pieces the written-piece log names, not the files.
TEST_F(TStartupStateTest, PiecesWrittenAfterTheLastRecordAreFoundFromTheLog) {
  std::string bits;
  {
    auto s = Start();
    ASSERT_TRUE(s->loaded);
    Give(s->map, 0, 2 * L);
    s->map.FlushPieces();
    s->map.SaveResumeRecord();
    bits = s->Record();
    Give(s->map, 2 * L, 3 * L);
    s->map.FlushPieces();
    ASSERT_TRUE(s->map.IsPieceComplete(2));
    ASSERT_EQ(s->Record(), bits) << "no record counts piece 2";
  }
  auto s = Start({.bits = bits});
  ASSERT_TRUE(s->loaded);
  EXPECT_TRUE(s->map.IsPieceComplete(2));
  EXPECT_EQ(s->map.BytesComplete(), 3 * L);
  EXPECT_LT(s->bytesRead, 2 * L) << "only the logged piece was read";

  // An entry whose bytes are not on disk (a crash took them) is only a hint.
  std::ofstream(dir.path + "task.bwinfowl", std::ios::binary | std::ios::app).write("\3\0\0\0", 4);
  auto again = Start({.bits = bits});
  ASSERT_TRUE(again->loaded);
  EXPECT_FALSE(again->map.IsPieceComplete(3));
  EXPECT_TRUE(again->map.IsPieceComplete(2));
}

std::string WithStateChange(std::string bits, int at, uint8_t delta, bool resealed) {
  const size_t p = bits.find("6:Status104:");
  bits[p + 12 + at] = static_cast<char>(bits[p + 12 + at] + delta);
  if (resealed) {
    const size_t crc = bits.find("5:CRC32i", p) + 8;
    const uint32_t sum = Adler32(2, bits.data() + p + 12, 104);
    bits.replace(crc, bits.find('e', crc) - crc, std::to_string(sum));
  }
  return bits;
}

// A record that cannot be trusted is dropped, whole or in part, and the files tell the rest.
TEST_F(TStartupStateTest, UntrustedRecordsFallBack) {
  const std::string bits = StopHalfWay();
  const uint8_t foreign[20] = {9};
  struct Case {
    const char* what;
    Options options;
    std::function<void()> change;
    bool rechecked;
  } cases[] = {
      {"foreign info hash", {.bits = bits, .infoHash = foreign}, [] {}, true},
      {"changed file size", {.bits = bits},
       [&] { std::ofstream(dir.path + "pack/c.bin.bwtmp", std::ios::app) << 'x'; }, true},
      {"missing file", {.bits = bits}, [&] { std::filesystem::remove(dir.path + "pack/c.bin.bwtmp"); }, true},
      {"bad CRC32", {.bits = WithStateChange(bits, 0, 1, false)}, [] {}, false},
      {"state hashed 64 bytes further", {.bits = WithStateChange(bits, 21, 2, true)}, [] {}, false},
      {"state with buffered bytes", {.bits = WithStateChange(bits, 28, 1, true)}, [] {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    auto s = Start(c.options);
    ASSERT_TRUE(s->loaded);
    if (c.rechecked) {
      EXPECT_GE(s->bytesRead, 2 * L);
    } else {
      EXPECT_LT(s->bytesRead, kTotal / 4);
    }
    EXPECT_TRUE(s->map.IsPieceComplete(0));
    EXPECT_TRUE(s->map.IsPieceComplete(1));
    EXPECT_EQ(s->map.Piece(2).HashedPrefix, 0);
    EXPECT_EQ(s->map.PieceBytesInMemory(2), 0);
    EXPECT_EQ(s->map.BytesChecked(), kTotal);
  }
}

TEST_F(TStartupStateTest, TruncatedFileIsRecheckedKeepingTheGoodPieces) {
  WriteFinalFiles();
  std::string bits{};
  {
    auto s = Start();
    ASSERT_TRUE(s->loaded);
    ASSERT_TRUE(s->map.IsComplete());
    s->map.CloseFiles(true, true);
    bits = s->Record();
  }
  std::filesystem::resize_file(dir.path + "pack/b.bin", 100000);
  for (const std::string& record : {bits, std::string()}) {
    auto s = Start({.bits = record});
    ASSERT_TRUE(s->loaded);
    // Piece 4 lies wholly in the file after the truncated one.
    std::vector<bool> complete;
    for (int64_t i = 0; i < 5; ++i) complete.push_back(s->map.IsPieceComplete(i));
    EXPECT_EQ(complete, (std::vector<bool>{true, false, false, false, true}));
    EXPECT_EQ(s->map.BytesComplete(), L + (kTotal - 4 * L));
  }
}

// A piece whose bytes lie on both sides of an empty file is hashed whole.
TEST_F(TStartupStateTest, RecheckCarriesBytesAcrossAnEmptyFile) {
  const std::string data = content.substr(0, 40000);
  std::filesystem::create_directories(dir.path + "set");
  std::ofstream(dir.path + "set/a", std::ios::binary) << data.substr(0, 20000);
  std::ofstream(dir.path + "set/e", std::ios::binary);
  std::ofstream(dir.path + "set/b", std::ios::binary) << data.substr(20000);
  test::FakeTask task;
  TPieces map(task);
  map.SetSaveDirectory(dir.path);
  ASSERT_TRUE(map.LoadInfo(*test::Parse(test::MultiInfo(
      "set", {{{"a"}, 20000}, {{"e"}, 0}, {{"b"}, 20000}}, 16384, test::PieceHashes(data, 16384)))));
  EXPECT_TRUE(map.IsComplete());
  EXPECT_EQ(map.DonePieces(), 3);
}

TEST_F(TStartupStateTest, QuickStartTrustsOnlyFinishedFilesOfTheRightSize) {
  WriteFinalFiles();
  {
    auto s = Start({.quick = true});
    ASSERT_TRUE(s->loaded);
    EXPECT_TRUE(s->map.IsComplete());
    EXPECT_EQ(s->task.Count(TPiecesEvent::kWholeBitfield), 1);
    EXPECT_LE(s->bytesRead, 3 * L + 65536);
  }
  std::filesystem::resize_file(dir.path + "pack/c.bin", 399999);
  EXPECT_FALSE(Start({.quick = true})->loaded);
  std::filesystem::resize_file(dir.path + "pack/c.bin", 400000);
  // A preallocated temporary file has the right length and no content.
  std::filesystem::rename(dir.path + "pack/c.bin", dir.path + "pack/c.bin.bwtmp");
  EXPECT_FALSE(Start({.quick = true})->loaded);
}

TEST_F(TStartupStateTest, PartListSelectsTwoOfThreeFiles) {
  std::string part{};
  ASSERT_TRUE(TResumeRecord::EncodeFileSelection(
      {{"pack/a.bin", false}, {"pack/b.bin", true}, {"pack/c.bin", false}}, &part));
  auto s = Start({.part = part});
  ASSERT_TRUE(s->loaded);
  EXPECT_FALSE(s->map.Files()[0].Deselected());
  EXPECT_TRUE(s->map.Files()[1].Deselected());
  EXPECT_FALSE(s->map.Files()[2].Deselected());
  // Pieces shared with a selected neighbour stay wanted.
  std::vector<bool> wanted;
  for (int64_t i = 0; i < 5; ++i) wanted.push_back(s->map.IsPieceWanted(i));
  EXPECT_EQ(wanted, (std::vector<bool>{true, true, false, true, true}));
  EXPECT_EQ(s->map.BytesWanted(), 700000);
  EXPECT_EQ(s->map.PiecesWanted(), 4);
  EXPECT_TRUE(std::filesystem::exists(dir.path + "pack/a.bin.bwtmp"));
  EXPECT_FALSE(std::filesystem::exists(dir.path + "pack/b.bin.bwtmp"));
  s->map.ReportFileSelection();
  EXPECT_EQ(s->task.Last(TPiecesEvent::kFileSelection)->bytes, part);

  ASSERT_TRUE(TResumeRecord::EncodeFileSelection(
      {{"pack/a.bin", false}, {"pack/b.bin", false}, {"pack/other", true}}, &part));
  auto all = Start({.part = part});
  ASSERT_TRUE(all->loaded);
  EXPECT_EQ(all->map.BytesWanted(), kTotal);
  EXPECT_EQ(all->map.PiecesWanted(), 5);
}

class PendingBlocksTest : public TStartupStateTest {
 protected:
  // A record of nothing present, taken after the files were prepared.
  std::string EmptyRecord() {
    auto s = Start();
    EXPECT_TRUE(s->loaded);
    s->map.SaveResumeRecord();
    return s->Record();
  }
  // The record of one piece's blocks [from, to), built by the writer from `data`.
  std::string Record(int32_t index, int32_t from, int32_t to, const std::string& data) {
    TPiece piece;
    piece.Index = index;
    piece.Size = static_cast<int32_t>(std::min<int64_t>(L, kTotal - index * L));
    piece.Blocks.Init(piece.Size);
    for (int32_t at = from; at < std::min(to, piece.Size); at += kBlockSize) {
      piece.Blocks.Store(TPieces::PiecePool(), at, reinterpret_cast<const uint8_t*>(data.data() + index * L + at),
                         piece.Blocks.BlockLength(at));
    }
    std::string out;
    EXPECT_TRUE(TPendingBlocks::AppendRecord(kHash, piece, &out));
    return out;
  }
  static void Reseal(std::string& record) {
    uint32_t index;
    std::memcpy(&index, record.data() + 8, 4);
    const uint32_t sum = Adler32(Adler32(index, kHash, 20), record.data() + 16, record.size() - 16);
    std::memcpy(record.data() + 4, &sum, 4);
  }
  void WritePending(const std::string& bytes) {
    std::ofstream(dir.path + "task.bwinfodf", std::ios::binary) << bytes;
  }
};

TEST_F(PendingBlocksTest, WholePieceFromDiskIsVerifiedBeforeItIsTrusted) {
  const std::string bits = EmptyRecord();
  std::string whole = Record(4, 0, static_cast<int32_t>(L), content);
  // Junk in the padding of the short last block must not reach the piece.
  whole[whole.size() - 8 - (16384 - (kTotal - 4 * L) % 16384)] = 'J';
  Reseal(whole);
  WritePending(whole);
  auto s = Start({.bits = bits});
  ASSERT_TRUE(s->loaded);
  EXPECT_TRUE(s->map.Piece(4).Verified);
  EXPECT_EQ(s->map.PieceBytesInMemory(4), kTotal - 4 * L);

  std::string forged = content;
  forged[4 * L + 5] ^= 1;
  WritePending(Record(4, 0, static_cast<int32_t>(L), forged));
  auto again = Start({.bits = bits});
  ASSERT_TRUE(again->loaded);
  EXPECT_LT(again->bytesRead, kTotal / 4);  // the record was taken, nothing re-checked
  EXPECT_FALSE(again->map.Piece(4).Verified);
  EXPECT_EQ(again->map.PieceBytesInMemory(4), 0);
}

TEST_F(PendingBlocksTest, MalformedRecordEndsLoadingAndKeepsEarlierOnes) {
  const std::string bits = EmptyRecord();
  const std::string good = Record(0, 0, 2 * kBlockSize, content);
  const std::string later = Record(3, 0, kBlockSize, content);
  struct Case {
    const char* what;
    size_t at;  // byte of the first entry of the bad record to change
    uint32_t value;
  } cases[] = {
      {"offset off a block boundary", 16 + 16, 100},
      {"offset beyond the piece", 16 + 16, static_cast<uint32_t>(L)},
      {"block length not 16 KiB", 16 + 16 + 4, 100},
      {"more than 512 blocks", 16 + 8, 513},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = Record(1, 0, kBlockSize, content);
    std::memcpy(bad.data() + c.at, &c.value, 4);
    Reseal(bad);
    WritePending(good + bad + later);
    auto s = Start({.bits = bits});
    ASSERT_TRUE(s->loaded);
    EXPECT_EQ(s->map.PieceBytesInMemory(0), 2 * kBlockSize);
    EXPECT_EQ(s->map.PieceBytesInMemory(1), 0);
    EXPECT_EQ(s->map.PieceBytesInMemory(3), 0);
  }
  WritePending(good + later);
  auto s = Start({.bits = bits});
  EXPECT_EQ(s->map.PieceBytesInMemory(3), kBlockSize);
}

TEST_F(TStartupStateTest, NewPieceLengthKeepsTheVerifiedData) {
  auto old = Start({.pieceLength = 32768});
  ASSERT_TRUE(old->loaded);
  Give(old->map, 0, 3 * 32768);
  old->map.FlushPieces();
  auto s = Start({.pieceLength = 65536, .previous = &old->map});
  ASSERT_TRUE(s->loaded);
  EXPECT_TRUE(s->map.IsPieceComplete(0));
  EXPECT_FALSE(s->map.IsPieceComplete(1));
  EXPECT_EQ(s->map.PieceBytesInMemory(1), 32768);
  EXPECT_EQ(s->map.BytesComplete(), 65536);
  Give(s->map, 3 * 32768, kTotal);
  s->map.FlushPieces();
  EXPECT_TRUE(s->map.IsComplete());
}

// A new piece length over a content many times the cache: neither map holds more than its
// cache while the data is carried over, and what could not be held is fetched again.
TEST_F(TStartupStateTest, CarryingOverStreamsWithinTheCache) {
  const int64_t total = 8 << 20;
  const std::string big = test::Content(static_cast<size_t>(total), 9);
  auto info = [&](int64_t pieceLength) {
    return test::Parse(test::SingleInfo("big.bin", total, pieceLength, test::PieceHashes(big, pieceLength)));
  };
  auto give = [&](TPieces& map, int64_t from, int64_t to) {
    bool accepted;
    for (int64_t at = from; at < to; at += kBlockSize) {
      map.ReceiveBlock(at / kBlockSize, kBlockSize,
                       reinterpret_cast<const uint8_t*>(big.data() + at), nullptr, &accepted);
    }
  };
  test::FakeTask oldTask;
  TPieces old(oldTask);
  old.SetSaveDirectory(dir.path);
  old.SetCacheUnits(4);
  ASSERT_TRUE(old.LoadInfo(*info(32768)));
  // Every fourth old piece is missing: a new piece of twice the length then has only half.
  for (int64_t p = 0; p < total / 32768; ++p) {
    if (p % 4 != 3) give(old, p * 32768, (p + 1) * 32768);
  }
  old.FlushPieces();
  old.TrimCache();
  ASSERT_LE(old.CacheBytes(), old.CacheLimit());

  test::FakeTask task;
  TPieces map(task);
  map.SetSaveDirectory(dir.path);
  map.SetCacheUnits(4);
  ASSERT_TRUE(map.LoadInfo(*info(65536), &old));
  EXPECT_LE(old.CacheBytes(), old.CacheLimit());
  EXPECT_LE(map.CacheBytes(), map.CacheLimit());
  EXPECT_GT(map.CacheBytes(), 0);
  EXPECT_EQ(map.BytesComplete(), total / 2);
  for (int64_t p = 0; p < total / 65536; ++p) {
    if (!map.IsPieceComplete(p)) give(map, p * 65536, (p + 1) * 65536);
  }
  map.FlushPieces();
  ASSERT_TRUE(map.IsComplete());
  map.CloseFiles(false, true);
  EXPECT_TRUE(test::ReadAll(dir.path + "big.bin") == big);
}

TEST_F(TStartupStateTest, FormerMapOfAnotherLengthIsNotCarriedOver) {
  test::FakeTask task;
  TPieces other(task);
  other.SetSaveDirectory(dir.path + "other/");
  const std::string shorter = content.substr(0, 500000);
  ASSERT_TRUE(other.LoadInfo(*test::Parse(test::MultiInfo(
      "pack", {{{"a.bin"}, 300000}, {{"b.bin"}, 100000}, {{"c.bin"}, 100000}}, L, test::PieceHashes(shorter, L)))));
  EXPECT_FALSE(Start({.previous = &other})->loaded);
  // A different number of files: only the resume record can tell what is present.
  const std::string bits = StopHalfWay();
  test::FakeTask oneTask;
  TPieces one(oneTask);
  one.SetSaveDirectory(dir.path + "one/");
  ASSERT_TRUE(one.LoadInfo(*test::Parse(test::SingleInfo("x", 100, 16384, test::PieceHashes(content.substr(0, 100), 16384)))));
  auto s = Start({.bits = bits, .previous = &one});
  ASSERT_TRUE(s->loaded);
  EXPECT_TRUE(s->map.IsPieceComplete(1));
  EXPECT_FALSE(Start({.previous = &one})->loaded);
}

TEST_F(TStartupStateTest, StopDuringTheCheckFailsTheBuild) {
  WriteFinalFiles();
  auto s = std::make_unique<Session>();
  s->task.stop = true;
  s->map.SetSaveDirectory(dir.path);
  EXPECT_FALSE(s->map.LoadInfo(*test::Parse(Info(L))));
  EXPECT_FALSE(s->map.IsValid());
}

}  // namespace
}  // namespace bw
