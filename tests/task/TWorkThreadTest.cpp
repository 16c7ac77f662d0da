#include "engine/task/TWorkThread.h"

#include <gtest/gtest.h>

#include <fstream>

#include "engine/storage/TTaskInfoFile.h"
#include "platform/File.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using test::EngineTest;
using test::kAppFlags;

class TaskLifecycle : public EngineTest {};

TEST_F(TaskLifecycle, MissingTorrentFileEndsWith20211WithOrWithoutSources) {
  struct Case {
    const char* sources;
    const char* scheme;  // the scheme is matched without regard to case
  };
  const Case cases[] = {{"http://127.0.0.1:9/a.cab", "file://"}, {"", "FILE://"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + " sources '" + c.sources + "'");
    TWorkThread* task = nullptr;
    const std::string name = std::string(c.sources).empty() ? "b.cab" : "a.cab";
    ASSERT_EQ(Create(c.sources, kAppFlags | kTaskFlagP2SP, name, c.scheme + dir.path + "missing.torrent", &task),
              kEngineOk);
    ASSERT_TRUE(Ends(task, 5));
    EXPECT_EQ(Status(task), kTaskStatusTorrentUnreadable);
    EXPECT_EQ(task->Published().workState, kWorkStopped);
  }
}

TEST_F(TaskLifecycle, UnknownTotalEndsWith20209AtTheMetadataTimeout) {
  auto* task = new TWorkThread;  // registered: EndTasks destroys it
  TaskParams params = Params("http://127.0.0.1:9/c.cab", kAppFlags, "c.cab");
  task->Describe(params, true);
  TTaskSettings settings = task->Settings();
  settings.metadataTimeout = 1;
  task->SetSettings(settings);
  ASSERT_EQ(task->StartDownload(), kEngineOk);
  EXPECT_EQ(task->StartDownload(), kEngineOperationFailed) << "already running";
  ASSERT_TRUE(Ends(task, 10));
  EXPECT_EQ(Status(task), kTaskStatusMetadataTimeout);
  EXPECT_EQ(task->Sources()[0].mark, kSourceIdle);
}

TEST_F(TaskLifecycle, StopGivesHandedOutSourcesTheirIdleMarksBack) {
  TWorkThread* task = nullptr;
  ASSERT_EQ(Create("http://127.0.0.1:9/e.torrent\nhttp://127.0.0.1:9/e.cab\n", kAppFlags | kTaskFlagBT, "e.cab", "", &task),
            kEngineOk);
  ASSERT_TRUE(test::WaitFor(
      [task] {
        const auto s = task->Sources();
        return s[0].mark == kSourceTorrentHandedOut && s[1].mark == kSourceHandedOut;
      },
      5));
  ASSERT_EQ(test::Stop(task), kEngineOk);
  EXPECT_FALSE(task->IsRunning());
  const auto sources = task->Sources();
  EXPECT_EQ(sources[0].mark, kSourceTorrent);
  EXPECT_EQ(sources[1].mark, kSourceIdle);
  EXPECT_EQ(task->ResumeDownload(), kEngineOk);
  EXPECT_EQ(task->ResumeDownload(), kEngineOperationFailed);
}

TEST_F(TaskLifecycle, SpeedLimitsAreNormalised) {
  TWorkThread* task = nullptr;
  ASSERT_EQ(Create("http://127.0.0.1:9/l", kAppFlags, "l.cab", "", &task), kEngineOk);
  ASSERT_EQ(task->SetSpeedLimit(1, 100), kEngineOk);
  ASSERT_EQ(task->SetSpeedLimit(0, 200), kEngineOk);
  EXPECT_EQ(task->Settings().downloadLimitKiB, 100);
  EXPECT_EQ(task->Settings().uploadLimitKiB, 200);
  EXPECT_EQ(task->SetSpeedLimit(2, 300), kEngineInvalidArgument);
  EXPECT_EQ(task->Settings().downloadLimitKiB, 100);
  ASSERT_EQ(task->SetSpeedLimit(1, 32767), kEngineOk);
  EXPECT_EQ(task->Settings().downloadLimitKiB, 0) << "unlimited";
  EXPECT_EQ(task->Settings().uploadLimitKiB, 200);
}

TEST_F(TaskLifecycle, InfoFileKeepsEveryTextAfterAStop) {
  const std::string info = dir.path + "i.cab.bwinfo";
  TTaskInfoFile before;
  before.bits = "bits-record";
  before.part = "part-record";
  before.seeds = "seed-list";
  ASSERT_TRUE(before.Save(info));
  std::ofstream(dir.path + "i.torrent", std::ios::binary) << "d4:infode";
  TaskParams params = Params("http://127.0.0.1:9/i", kAppFlags | kTaskFlagP2SP, "i.cab", "file://" + dir.path + "i.torrent");
  auto* task = new TWorkThread;  // registered: EndTasks destroys it
  task->Describe(params, false);
  ASSERT_EQ(task->ContinueDownload(), kEngineOk);
  ASSERT_TRUE(Ends(task, 5));
  // Metadata cannot be loaded from this torrent, so the task stops; what it had is kept.
  EXPECT_EQ(Status(task), kTaskStatusTorrentUnreadable);
  TTaskInfoFile after;
  ASSERT_TRUE(after.Load(info));
  EXPECT_EQ(after.bits, "bits-record");
  EXPECT_EQ(after.part, "part-record");
  EXPECT_EQ(after.seeds, "seed-list");
  EXPECT_EQ(after.torrent, "d4:infode");
}

TEST(TaskInfoData, SaveWritesOnlyWhenSomethingChanged) {
  test::TempDir dir;
  {
    TWorkThread task;
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    std::strcpy(params.infoPath, (dir.path + "t.bwinfo").c_str());
    task.Describe(params, true);
    EXPECT_TRUE(task.SaveInfoFile()) << "nothing dirty: nothing to write";
    EXPECT_FALSE(platform::PathExists(dir.path + "t.bwinfo"));
    task.OnPiecesEvent({TPiecesEvent::kResumeRecord, 1, 4, "abcd"});
    EXPECT_TRUE(task.InfoText("bits").empty()) << "ignored without a piece map";
  }
  test::EndTasks();
}

}  // namespace
}  // namespace bw
