#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

#include "engine/storage/TPieces.h"
#include "platform/File.h"
#include "tests/storage/PiecesTestSupport.h"
#include "tests/support/TmpfsMount.h"

namespace bw {
namespace {

constexpr int64_t kPiece = 256 * 1024;
constexpr int64_t kLength = 12 * kPiece;  // 3 MiB on a 2 MiB file system

// A small tmpfs of its own, so a full disk is real; the map writes on its own thread or beside it.
class DiskFullTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    mountPoint = dir.path + "mnt/";
    // Room for the start-up preparation; the disk fills once it is shrunk below.
    disk = std::make_unique<test::TmpfsMount>(mountPoint, "8m");
    if (!disk->Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    content = test::Content(static_cast<size_t>(kLength));
    map.WriteInBackground(GetParam());
    map.SetSaveDirectory(mountPoint);
    map.SetPendingPath(dir.path + "task.bwinfodf");
    ASSERT_TRUE(
        map.LoadInfo(*test::Parse(test::SingleInfo("big.bin", kLength, kPiece, test::PieceHashes(content, kPiece)))));
    ASSERT_TRUE(disk->Resize("2m"));
  }
  void GivePiece(int64_t piece) {
    bool accepted;
    for (int64_t at = piece * kPiece; at < (piece + 1) * kPiece; at += kBlockSize) {
      map.ReceiveBlock(at / kBlockSize, kBlockSize,
                       reinterpret_cast<const uint8_t*>(content.data() + at), nullptr, &accepted);
    }
  }

  test::TempDir dir;
  std::string mountPoint;
  std::unique_ptr<test::TmpfsMount> disk;
  test::FakeTask task;
  TPieces map{task};
  std::string content;
};

TEST_P(DiskFullTest, WaitsReportsAndLosesNothingThenContinuesWhenSpaceIsBack) {
  GivePiece(0);
  GivePiece(5);
  map.FlushPieces();
  EXPECT_EQ(task.Count(TPiecesEvent::kWaitingForDisk), 1);
  EXPECT_EQ(task.Count(TPiecesEvent::kFileFailed), 0);
  EXPECT_FALSE(map.IsPieceComplete(0));
  EXPECT_TRUE(map.Piece(0).Dirty);
  EXPECT_TRUE(map.Piece(5).Verified);
  EXPECT_EQ(map.PieceBytesInMemory(5), kPiece);
  // The stop saves the verified pieces with the pending blocks.
  ASSERT_TRUE(map.SavePendingBlocks());
  EXPECT_EQ(platform::PathFileSize(dir.path + "task.bwinfodf"), 2 * (16 + 16 + 16 * 16400));

  ASSERT_TRUE(disk->Resize("8m"));
  task.stop = false;
  for (int64_t p = 0; p < 12; ++p) {
    if (p != 0 && p != 5) GivePiece(p);
  }
  map.FlushPieces();
  EXPECT_EQ(task.Count(TPiecesEvent::kDiskAvailable), 1);
  EXPECT_TRUE(map.IsComplete());
  map.CloseFiles(false, true);
  EXPECT_EQ(test::ReadAll(mountPoint + "big.bin"), content);
}

TEST_P(DiskFullTest, NoSpaceAtAllocationAfterTheCheckPassedIsAFullDisk) {
  map.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 40; });
  GivePiece(3);
  map.FlushPieces();
  EXPECT_EQ(task.Count(TPiecesEvent::kWaitingForDisk), 1);
  EXPECT_EQ(task.Count(TPiecesEvent::kFileFailed), 0);
  EXPECT_TRUE(map.Piece(3).Dirty);
  EXPECT_FALSE(map.IsPieceComplete(3));
  // Retrying does not report again while the disk stays full.
  map.FlushPieces();
  EXPECT_EQ(task.Count(TPiecesEvent::kWaitingForDisk), 1);
}

TEST_P(DiskFullTest, UnknownFreeSpaceCountsAsTwoGigabytes) {
  int64_t asked = 0;
  map.SetFreeSpaceQuery([&](const std::string&) { return ++asked, int64_t{-1}; });
  EXPECT_TRUE(map.WaitForDiskSpace(mountPoint + "x", TPieces::kUnknownFreeSpace));
  EXPECT_EQ(asked, 1);
  task.stop = true;
  EXPECT_FALSE(map.WaitForDiskSpace(mountPoint + "x", TPieces::kUnknownFreeSpace + 1));
  EXPECT_EQ(task.Count(TPiecesEvent::kWaitingForDisk), 1);
}

INSTANTIATE_TEST_SUITE_P(Writes, DiskFullTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Beside" : "Inline"; });

// Free space is asked for a relative save folder too: a file above the 2 GiB assumed when the
// query fails does not wait for space that is there.
TEST(DiskSpaceOfARelativeFolder, FileAboveTwoGigabytesIsPreparedWhenTheSpaceIsThere) {
  test::TempDir dir;
  test::TmpfsMount disk(dir.path + "mnt", "4g");
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path + "mnt");
  test::FakeTask task;
  TPieces map(task);
  map.SetSaveDirectory("relative/folder");
  map.SetTargetPath("relative/folder/big.bin");
  const bool loaded = map.LoadTemplate(int64_t{3} << 30, 1 << 20);
  std::filesystem::current_path(before);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(task.Count(TPiecesEvent::kWaitingForDisk), 0);
}

}  // namespace
}  // namespace bw
