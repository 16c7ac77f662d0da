// Failed file operations are taken by their cause (a full disk is waited out, anything else
// fails the file) and logged with the operation, the file and the system's own words.
#include "engine/storage/DiskFault.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "engine/frame/EngineLog.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/PiecesTestSupport.h"

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

}  // namespace
}  // namespace bw
