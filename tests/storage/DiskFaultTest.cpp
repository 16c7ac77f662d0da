// Failed file operations are taken by their cause (a full disk is waited out, anything else
// fails the file) and logged with the operation, the file and the system's own words.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/frame/EngineLog.h"
#include "engine/storage/DiskFault.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TResumeRecord.h"
#include "tests/storage/PiecesTestSupport.h"
#include "tests/support/TmpfsMount.h"

namespace bw {
namespace {

TEST(DiskFault, FullDiskAndQuotaAreWaitedOutEverythingElseFails) {
  EXPECT_EQ(ClassifyDiskError(0), DiskFault::kNone);
  EXPECT_EQ(ClassifyDiskError(-ENOSPC), DiskFault::kNoSpace);
  EXPECT_EQ(ClassifyDiskError(-EDQUOT), DiskFault::kNoSpace);
  for (int error : {EIO, EISDIR, EACCES, EROFS}) EXPECT_EQ(ClassifyDiskError(-error), DiskFault::kFailed) << error;
}

TEST(DiskFault, FileThatCannotBeOpenedStopsTheTaskWithItsCause) {
  test::TempDir dir;
  const std::string content = test::Content(65536);
  test::SingleFileMap single(dir.path, content, 32768);
  ASSERT_TRUE(single.loaded);
  // A folder where the data file belongs.
  std::filesystem::remove(dir.path + "f.bwtmp");
  std::filesystem::create_directory(dir.path + "f.bwtmp");
  single.Give(content, 0);
  single.Give(content, 1);
  CreateEngineLog();
  testing::internal::CaptureStderr();
  single.map.FlushPieces();
  const std::string logged = testing::internal::GetCapturedStderr();
  DeleteEngineLog();
  const test::FakeTask::Seen* failed = single.task.Last(TPiecesEvent::kFileFailed);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->value, EISDIR);
  EXPECT_EQ(single.task.Count(TPiecesEvent::kWaitingForDisk), 0);
  EXPECT_THAT(logged, testing::HasSubstr("storage: open for writing " + dir.path + "f.bwtmp failed: Is a directory"));
  EXPECT_TRUE(single.map.Piece(0).Dirty) << "the verified piece waits in memory";
}

// A file system that takes writes it cannot keep: ext4 on a loop device whose backing file lives
// on a tmpfs far smaller than the file system. Writes land in the page cache; writing them back
// fails, and only a sync or a write-back wait hears of it.
class LeakyDisk {
 public:
  explicit LeakyDisk(const std::string& folder) : backing_(folder + "backing", "8m"), mountPoint_(folder + "mnt/") {
    if (!backing_.Mounted()) return;
    const std::string image = folder + "backing/disk.img";
    std::filesystem::create_directories(mountPoint_);
    if (Run("truncate -s 64m " + image + " && mkfs.ext4 -q " + image) != 0) return;
    device_ = Output("losetup -f --show " + image);
    mounted_ = !device_.empty() && Run("mount " + device_ + " " + mountPoint_) == 0;
  }
  ~LeakyDisk() {
    if (mounted_) Run("umount -l " + mountPoint_);
    if (!device_.empty()) Run("losetup -d " + device_);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Folder() const { return mountPoint_; }

 private:
  static int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
  static std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, pipe)) text += line;
      pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  test::TmpfsMount backing_;
  std::string mountPoint_;
  std::string device_;
  bool mounted_ = false;
};

// Pieces whose bytes never reached the disk are not counted by the record: the failed sync is
// heard, the task told as the errno says, and the pieces are fetched again; whether the writes
// ran on the caller's thread or beside it.
TEST(DiskFault, PiecesThatCouldNotBeMadeDurableStayOutOfTheRecord) {
  for (const bool writeBehind : {false, true}) {
  SCOPED_TRACE(writeBehind ? "written beside" : "written inline");
  test::TempDir dir;
  LeakyDisk disk(dir.path);
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount ext4 on a loop device here";
  const std::string content = test::Content(24 << 20);
  test::SingleFileMap single(disk.Folder(), content, 256 * 1024);
  ASSERT_TRUE(single.loaded);
  single.map.WriteInBackground(writeBehind);
  single.task.stopOnDiskFull = false;
  for (int64_t b = 0; b < static_cast<int64_t>(content.size()) / 16384; ++b) single.Give(content, b);
  single.map.FlushPieces();
  single.task.events.clear();
  single.map.CloseFiles(true, false);
  const test::FakeTask::Seen* full = single.task.Last(TPiecesEvent::kWaitingForDisk);
  const test::FakeTask::Seen* failed = single.task.Last(TPiecesEvent::kFileFailed);
  ASSERT_TRUE(full || failed) << "the failed sync reaches the task";
  const test::FakeTask::Seen* record = single.task.Last(TPiecesEvent::kResumeRecord);
  ASSERT_NE(record, nullptr);
  TResumeRecord::Saved saved;
  ASSERT_TRUE(TResumeRecord::Decode(record->bytes, &saved));
  // Only a piece synced before the disk failed may count: written beside, the first one is, with
  // the record taken once its file was allocated.
  const bool first = single.map.IsPieceComplete(0);
  EXPECT_EQ(saved.bitfield, (first ? std::string(1, '\x80') : std::string(1, '\0')) +
                                std::string(saved.bitfield.size() - 1, '\0'));
  EXPECT_EQ(single.map.BytesComplete(), first ? 256 * 1024 : 0);
  EXPECT_TRUE(single.map.IsPieceWanted(1));
  }
}

}  // namespace
}  // namespace bw
