#include "engine/storage/TResumeRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/common/Adler32.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TTaskInfoFile.h"
#include "platform/File.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

TEST(TResumeRecordTest, BytesWithBareZeroIntegers) {
  const uint8_t hash[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  uint8_t state[104];
  for (int i = 0; i < 104; ++i) state[i] = static_cast<uint8_t>(i);
  std::vector<TResumeRecord::FileFacts> files = {
      {"/d/a.bwtmp", (uint64_t{7} << 32) | 5, 1000, 0},
      {"/d/b", 0, -1, -3},
      {"", 1, 1, 1},  // an empty path ends the files
  };
  std::vector<TResumeRecord::PartialPiece> partial = {{0, 131072, state}, {9, 262144, state}};
  std::string out;
  ASSERT_TRUE(TResumeRecord::Encode(hash, files, partial, std::string("\x80\x01", 2), &out));
  const std::string st(reinterpret_cast<const char*>(state), 104);
  const std::string expected =
      "d8:infohash20:" + std::string(reinterpret_cast<const char*>(hash), 20) +
      "10:/d/a.bwtmp3:Lowi5e4:Highi7e4:Sizei1000e8:Priority"
      "4:/d/b3:Low4:High4:Sizei-1e8:Priorityi-3e"
      "11:PieceStatusl"
      "d5:Index4:Parti131072e6:Status104:" + st + "5:CRC32i" + std::to_string(Adler32(0, state, 104)) + "ee"
      "d5:Indexi9e4:Parti262144e6:Status104:" + st + "5:CRC32i" + std::to_string(Adler32(9, state, 104)) + "ee"
      "e8:BitField2:\x80\x01" "e";
  EXPECT_EQ(out, expected);

  ASSERT_TRUE(TResumeRecord::Encode(nullptr, {}, {}, std::string(1, '\0'), &out));
  EXPECT_EQ(out, std::string("d11:PieceStatusle8:BitField1:\0e", 31));
}

// The readers take values by position: bare keys read as 0, and a piece entry counts only with
// its checksum right.
TEST(TResumeRecordTest, DecoderReadsWhatTheEncoderWrote) {
  const uint8_t hash[20] = {5};
  uint8_t state[104];
  for (int i = 0; i < 104; ++i) state[i] = static_cast<uint8_t>(3 * i);
  std::string out;
  ASSERT_TRUE(TResumeRecord::Encode(hash, {{"/d/a.bwtmp", (uint64_t{7} << 32) | 5, 1000, 0}, {"/d/b", 0, -1, -3}},
                                    {{0, 131072, state}, {9, 262144, state}}, std::string("\x80\x01", 2), &out));
  TResumeRecord::Saved saved;
  ASSERT_TRUE(TResumeRecord::Decode(out, &saved));
  EXPECT_TRUE(saved.hasInfoHash);
  EXPECT_EQ(saved.infoHash[0], 5);
  ASSERT_EQ(saved.files.size(), 2u);
  const TResumeRecord::SavedFile* a = saved.FindFile("/d/a.bwtmp");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::make_tuple(a->low, a->high, a->size, a->hasPriority, a->priority), std::make_tuple(5, 7, 1000, true, 0));
  const TResumeRecord::SavedFile* b = saved.FindFile("/d/b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::make_tuple(b->low, b->high, b->size, b->priority), std::make_tuple(0, 0, -1, -3));
  EXPECT_EQ(saved.bitfield, std::string("\x80\x01", 2));
  ASSERT_EQ(saved.pieces.size(), 2u);
  EXPECT_EQ(saved.pieces[0].index, 0);
  EXPECT_EQ(saved.pieces[1].part, 262144);
  EXPECT_EQ(std::memcmp(saved.pieces[1].state.data(), state, 104), 0);

  std::string wrongSum = out;
  char& digit = wrongSum[wrongSum.find("5:CRC32i") + 8];
  digit = digit == '9' ? '1' : '9';
  ASSERT_TRUE(TResumeRecord::Decode(wrongSum, &saved));
  EXPECT_EQ(saved.pieces.size(), 1u);
  for (const std::string& broken : {std::string("d8:BitField1:xe"), std::string("d11:PieceStatuslee"), out.substr(0, 40)}) {
    EXPECT_FALSE(TResumeRecord::Decode(broken, &saved)) << broken;
  }

  std::vector<std::string> deselected;
  ASSERT_TRUE(TResumeRecord::DecodeFileSelection("l3:t/ade3:t/bi1edee", &deselected));
  EXPECT_EQ(deselected, std::vector<std::string>{"t/b"});
  EXPECT_FALSE(TResumeRecord::DecodeFileSelection("le", &deselected));
}

TEST(TResumeRecordTest, FileSelectionList) {
  std::string out;
  ASSERT_TRUE(TResumeRecord::EncodeFileSelection({{"t/a", false}, {"t/b", true}}, &out));
  EXPECT_EQ(out, "l3:t/ade3:t/bi1edee");
}

TEST(TResumeRecordTest, TaskInfoFileIsReplacedWhole) {
  test::TempDir dir;
  const std::string path = dir.path + "task.bwinfo";
  TTaskInfoFile info;
  info.bits = "d8:BitField1:xe";
  info.torrent = "d4:infode";
  ASSERT_TRUE(info.Save(path));
  EXPECT_EQ(test::ReadAll(path), "d4:bits15:d8:BitField1:xe7:torrent9:d4:infodee");
  EXPECT_FALSE(platform::PathExists(platform::TempNameFor(path)));
  info.part = "le";  // too short to be taken back
  info.seeds = "abc";
  ASSERT_TRUE(info.Save(path));
  TTaskInfoFile back;
  ASSERT_TRUE(back.Load(path));
  EXPECT_EQ(back.bits, info.bits);
  EXPECT_EQ(back.part, "");
  EXPECT_EQ(back.seeds, "abc");
  EXPECT_EQ(back.torrent, info.torrent);
}

TEST(TResumeRecordTest, PendingBlockRecordBytes) {
  // A last piece of 20,000 bytes: its second block is 3,616 bytes and is padded with zeros.
  test::TempDir dir;
  test::FakeTask task;
  TPieces map(task);
  const std::string content = test::Content(32768 + 20000);
  map.SetSaveDirectory(dir.path);
  map.SetPendingPath(dir.path + "x.bwinfodf");
  const uint8_t hash[20] = {9};
  map.SetInfoHash(hash);
  ASSERT_TRUE(map.LoadInfo(*test::Parse(test::SingleInfo("f", 52768, 32768, test::PieceHashes(content, 32768)))));
  bool accepted;
  const auto* data = reinterpret_cast<const uint8_t*>(content.data());
  ASSERT_EQ(map.ReceiveBlock(3, 3616, data + 3 * 16384, nullptr, &accepted), 3616);
  ASSERT_EQ(map.ReceiveBlock(1, 16384, data + 16384, nullptr, &accepted), 16384);
  ASSERT_TRUE(map.SavePendingBlocks());

  std::string body = Le32(16384) + Le32(0) + Le32(1) + Le32(0);
  body += Le32(16384) + Le32(16384) + content.substr(16384, 16384) + std::string(8, '\0');
  std::string body1 = Le32(3616) + Le32(0) + Le32(1) + Le32(0);
  body1 += Le32(16384) + Le32(16384) + content.substr(3 * 16384, 3616) + std::string(16384 - 3616 + 8, '\0');
  auto record = [&](uint32_t index, const std::string& b) {
    uint32_t seed = Adler32(index, hash, 20);
    return Le32(static_cast<uint32_t>(b.size())) + Le32(Adler32(seed, b.data(), b.size())) +
           Le32(index) + Le32(0) + b;
  };
  const std::string expected = record(0, body) + record(1, body1);
  const std::string written = test::ReadAll(dir.path + "x.bwinfodf");
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_EQ(std::mismatch(written.begin(), written.end(), expected.begin()).first - written.begin(),
            static_cast<std::ptrdiff_t>(written.size()));

  // Read back: both records, then nothing past a record whose sum is wrong.
  const auto* bytes = reinterpret_cast<const uint8_t*>(written.data());
  const TPendingBlocks::Layout layout{hash, 32768, 52768};
  std::vector<TPendingBlocks::Record> records = TPendingBlocks::Decode(bytes, written.size(), layout);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].index, 1);
  EXPECT_EQ(records[1].held, 3616);
  ASSERT_EQ(records[1].blocks.size(), 1u);
  EXPECT_EQ(records[1].blocks[0].offset, 16384);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(records[1].blocks[0].data), 3616), content.substr(3 * 16384, 3616));
  std::string tampered = written;
  tampered[40] ^= 1;
  EXPECT_TRUE(TPendingBlocks::Decode(reinterpret_cast<const uint8_t*>(tampered.data()), tampered.size(), layout).empty());
}

TEST(TResumeRecordTest, MapHandsOverRecordAfterSyncingItsFiles) {
  test::TempDir dir;
  const std::string content = test::Content(65536);
  test::SingleFileMap single(dir.path, content, 32768);
  ASSERT_TRUE(single.loaded);
  test::FakeTask& task = single.task;
  TPieces& map = single.map;
  task.events.clear();  // the start-up check hands over its own record
  map.RefreshResumeRecord();
  EXPECT_EQ(task.Count(TPiecesEvent::kResumeRecord), 0);  // nothing changed yet
  single.Give(content, 0);
  single.Give(content, 1);
  map.FlushPieces();
  // The first write allocated the file: the record taken before it no longer fits, so a fresh
  // one is handed over at once, before the piece it wrote is counted.
  ASSERT_EQ(task.Count(TPiecesEvent::kResumeRecord), 2);
  EXPECT_NE(task.Last(TPiecesEvent::kResumeRecord)->bytes.find(std::string("4:Sizei65536e8:Priority11:PieceStatusle8:BitField1:\0e", 53)),
            std::string::npos);
  task.events.clear();
  map.RefreshResumeRecord();
  ASSERT_EQ(task.Count(TPiecesEvent::kResumeRecord), 2);
  EXPECT_EQ(task.events[task.events.size() - 2].size, 0);  // the clear comes first
  const std::string& record = task.Last(TPiecesEvent::kResumeRecord)->bytes;
  EXPECT_NE(record.find(std::to_string((dir.path + "f.bwtmp").size()) + ":" + dir.path + "f.bwtmp3:Lowi"), std::string::npos);
  EXPECT_NE(record.find("4:Sizei65536e8:Priority11:PieceStatusle8:BitField1:\x80" "e"), std::string::npos);
  map.RefreshResumeRecord();
  EXPECT_EQ(task.Count(TPiecesEvent::kResumeRecord), 2);
}

}  // namespace
}  // namespace bw
