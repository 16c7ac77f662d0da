#include <algorithm>
#include <array>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

#include "app/CDownloadController.h"
#include "app/RecordFile.h"
#include "tests/app/AppTestSupport.h"

namespace bw::app::test {
namespace {

constexpr uint64_t kFilesBytes = 8299520ULL + 3 * 1932735283ULL + 368826489ULL;
constexpr uint64_t kReserve = 104857600;

using ControllerTest = ControllerFixture;

TEST_F(ControllerTest, AFirstStartIsReadyAndWritesNoRecord) {
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_EQ(C().GetSaveFolder(), SaveFolder());
  EXPECT_FALSE(C().Records().Record().Exists());
  EXPECT_EQ(C().GetSizeText(), "0 B/5.8 GB");
  EXPECT_EQ(C().GetSpeedText(), "0 B/s");
  EXPECT_EQ(C().GetRowStatusText(0), "未开始    ");
}

// The start needs the files' size plus 100 MiB: 95 MiB more than the files fails.
TEST_F(ControllerTest, StartingWithoutRoomShowsTheMessageAndChangesNothing) {
  Start();
  engine_.freeBytes = kFilesBytes + 95 * 1048576;
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_TRUE(C().DiskSpaceLow());
  EXPECT_EQ(engine_.messages, std::vector<std::string>{"当前磁盘空间不足，请选择其他位置存放"});
  EXPECT_TRUE(engine_.tasks.empty());
  EXPECT_TRUE(engine_.reports.empty());
}

TEST_F(ControllerTest, StartingCreatesFiveTasksFromTheirTorrentsAndRecordsTheSet) {
  Start();
  engine_.freeBytes = kFilesBytes + kReserve;
  C().OnMainAction();
  ASSERT_EQ(C().State(), kStatePreparing);
  ASSERT_EQ(engine_.tasks.size(), 5u);
  const std::string appFolder = C().Records().Folders().appFolder;
  for (int i = 0; i < kFileCount; ++i) {
    const FakeEngine::Task& task = TaskOf(i);
    EXPECT_EQ(task.flags, 0x1100002u);
    EXPECT_EQ(task.sources, package_.rows[i].url);
    EXPECT_EQ(task.contentId, "file://" + appFolder + "/" + package_.rows[i].digest);
    EXPECT_EQ(bw::test::TempDir::Read(appFolder + "/" + package_.rows[i].digest), package_.rows[i].torrent);
    EXPECT_EQ(task.target, FileIn(i));
    EXPECT_EQ(task.infoPath, appFolder + "/" + package_.rows[0].digest + "BWInfo/" + package_.rows[i].name + ".bwinfo");
  }
  EXPECT_EQ(engine_.reports.front().code, "11010000");
  EXPECT_EQ(engine_.reports.front().flag, 7);
  const RecordFile& record = C().Records().Record();
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskSavePath"), SaveFolder());
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowHttpTaskUrl3"), package_.rows[3].url);
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskEntrence"), "Inst.exe");
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskFloder"), "TNW0223");
  EXPECT_FALSE(record.Read("BrightwillowTask", "BrightwillowTaskCreateTime").empty());
}

TEST_F(ControllerTest, AnEngineThatDoesNotStartLeavesTheStartToBeTriedAgain) {
  Start();
  engine_.initResult = kEngineFailed;
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_EQ(engine_.messages, std::vector<std::string>{"下载启动失败请重试"});
  EXPECT_EQ(engine_.CountOf("11400101"), 1);
  engine_.initResult = kEngineOk;
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStatePreparing);
}

// A task the engine refuses would leave the download waiting for its file for ever: every task
// stops, the user is told, and continuing asks for the task again.
TEST_F(ControllerTest, ARefusedTaskPausesTheDownloadWithAMessage) {
  Start();
  engine_.refusedTarget = FileIn(2);
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_EQ(engine_.messages, std::vector<std::string>{"下载启动失败请重试"});
  EXPECT_EQ(engine_.captions, std::vector<std::string>{kCaption});
  EXPECT_EQ(engine_.CountOf("11400101"), 1);
  EXPECT_EQ(C().Records().tasks[2], nullptr);
  EXPECT_FALSE(TaskOf(0).running);
  TaskOf(0).progress.progress = 5000;
  EXPECT_EQ(C().EvaluateState(), kStatePause);

  C().OnMainAction();
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_EQ(engine_.messages.size(), 2u);
  EXPECT_FALSE(TaskOf(0).running);

  engine_.refusedTarget.clear();
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStateResume);
  EXPECT_TRUE(TaskOf(2).recovered);
  EXPECT_TRUE(TaskOf(0).running);
}

// Each file weighs its bytes: small files count too, and the real sizes do not overflow.
TEST_F(ControllerTest, OverallProgressWeighsEachFileByItsBytes) {
  struct Case {
    const char* name;
    std::array<uint64_t, kFileCount> sizes;
    std::array<int, kFileCount> progress;
    int overall;
  };
  const Case cases[] = {
      {"all under 1 MiB", {1000, 2000, 3000, 4000, 5000}, {10000, 5000, 0, 0, 0}, 1333},
      {"the small installer alone", {300000, 2621447, 2359301, 2097153, 700001}, {10000, 0, 0, 0, 0}, 371},
      {"real sizes", {8299520, 1932735283, 1932735283, 1932735283, 368826489}, {9999, 9999, 9999, 9999, 9999}, 9999},
      {"real sizes, one large file half", {8299520, 1932735283, 1932735283, 1932735283, 368826489},
       {10000, 5000, 0, 0, 0}, 1578},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < kFileCount; ++i) package_.rows[i].size = c.sizes[i];
    Start();
    C().OnMainAction();
    for (int i = 0; i < kFileCount; ++i) TaskOf(i).progress.progress = c.progress[i];
    EXPECT_EQ(C().GetOverallProgress(), c.overall);
  }
}

// Preparing becomes reload once progress shows; a total above 1024 bytes per second (not at it)
// is downloading, and only then the peer budget is spread and the resource list fetched.
TEST_F(ControllerTest, StatesFollowProgressAndSpeed) {
  Start();
  C().OnMainAction();
  TaskOf(1).progress.progress = 10;
  TaskOf(1).progress.speed = 1024;
  EXPECT_EQ(C().EvaluateState(), kStateReload);
  C().GetSpeedText();
  EXPECT_EQ(C().State(), kStateReload);
  EXPECT_EQ(host_.started, 0);
  TaskOf(1).progress.speed = 1025;
  C().GetSpeedText();
  EXPECT_EQ(C().State(), kStateDownloading);
  EXPECT_EQ(host_.started, 1);
  EXPECT_EQ(TaskOf(0).peerLimits, std::make_pair(7, 21));  // 35 and 105 over five tasks
  EXPECT_EQ(TaskOf(4).peerLimits, std::make_pair(7, 21));
}

TEST_F(ControllerTest, TheSpeedLimitIsSpreadOverTheRunningTasks) {
  Start();
  C().OnMainAction();
  struct Case {
    int running, limit, each;
  } cases[] = {{1, 0, 32767}, {2, 0, 32767}, {2, 15, 10}, {5, 1000, 200}};
  for (const Case& c : cases) {
    for (int i = 0; i < kFileCount; ++i) TaskOf(i).answers = i < c.running;
    C().SetSpeedLimit(c.limit);
    EXPECT_EQ(TaskOf(0).speedLimit, c.each) << c.running << " tasks, limit " << c.limit;
  }
}

TEST_F(ControllerTest, PeerBudgetRemaindersGoToTheFirstTasks) {
  Downloading();
  TaskOf(3).answers = TaskOf(4).answers = false;
  TaskOf(0).progress.speed += 1;  // a new query with three running tasks
  C().GetSpeedText();
  EXPECT_EQ(TaskOf(0).peerLimits, std::make_pair(12, 35));
  EXPECT_EQ(TaskOf(1).peerLimits, std::make_pair(12, 35));
  EXPECT_EQ(TaskOf(2).peerLimits, std::make_pair(11, 35));
}

TEST_F(ControllerTest, PauseAndContinue) {
  Start();
  C().OnMainAction();
  C().OnMainAction();  // in state 3 the button does nothing
  EXPECT_EQ(C().State(), kStatePreparing);
  EXPECT_EQ(engine_.stops, 0);

  for (int i = 0; i < kFileCount; ++i) TaskOf(i).progress.speed = 5000;
  C().GetSpeedText();
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_EQ(engine_.stops, 1);
  EXPECT_FALSE(TaskOf(2).running);
  EXPECT_EQ(engine_.Codes().back(), "11020000");
  C().GetSpeedText();  // a paused download is not set downloading by its last speed
  EXPECT_EQ(C().State(), kStatePause);

  C().OnMainAction();
  EXPECT_EQ(C().State(), kStateResume);
  EXPECT_TRUE(TaskOf(2).running);
  EXPECT_EQ(engine_.Codes().back(), "11030000");
}

TEST_F(ControllerTest, EachEngineStatusIsHandledOnceUntilAnotherIsSeen) {
  Start();
  C().OnMainAction();
  const auto seen = [&](int status) {
    TaskOf(0).progress.status = status;
    C().EvaluateState();
    C().EvaluateState();
  };
  seen(kTaskStatusMetadataTimeout);
  seen(kTaskStatusMetadataTimeout);
  EXPECT_EQ(engine_.messages.size(), 1u);
  EXPECT_EQ(engine_.CountOf("11990202"), 1);
  seen(20207);
  seen(kTaskStatusMetadataTimeout);
  EXPECT_EQ(engine_.messages,
            (std::vector<std::string>{"网络连接超时，下载失败", "网络错误", "网络连接超时，下载失败"}));
}

// Two tasks that keep different statuses: each reaction happens once, not at every evaluation.
TEST_F(ControllerTest, TasksWithDifferentStatusesDoNotRepeatTheReactions) {
  Downloading();
  TaskOf(0).progress.status = kTaskStatusDiskFull;
  TaskOf(1).progress.status = kTaskStatusNoSources;
  for (int n = 0; n < 20; ++n) C().EvaluateState();
  EXPECT_THAT(engine_.messages,
              ::testing::UnorderedElementsAre("磁盘空间不足，请检查并重新启动下载器！", "下载出错，请重试"));
  EXPECT_EQ(engine_.CountOf("11990301"), 1);
  EXPECT_EQ(engine_.stops, 1);
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_TRUE(C().DiskSpaceLow());
}

TEST_F(ControllerTest, AWriteFailureFailsTheDownload) {
  Downloading();
  TaskOf(3).progress.status = kTaskStatusWriteFailed;
  EXPECT_EQ(C().EvaluateState(), kStateFailed);
  EXPECT_EQ(engine_.messages.back(), "由于磁盘损坏无法写入，下载失败");
}

TEST_F(ControllerTest, CompletionIsReportedOncePerFileAndFinishesTheDownload) {
  Downloading();
  FinishAll();
  EXPECT_EQ(C().State(), kStateFinished);
  EXPECT_EQ(engine_.CountOf("11080000"), 5);
  EXPECT_EQ(engine_.CountOf("11060000"), 1);
  const RecordFile& record = C().Records().Record();
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskIsComplete"), "COMPLETE");
  EXPECT_FALSE(record.Read("BrightwillowFinishInfo", "BrightwillowTask4FileSizeLow").empty());
  EXPECT_EQ(C().GetSizeText(), "5.8 GB/5.8 GB");
  EXPECT_EQ(C().GetRowStatusText(2), "√ 下载完成  ");
}

// In sparse mode the free space is watched: below the remaining need the download pauses, between
// that and 100 MiB more nothing changes, above it the flag clears.
TEST_F(ControllerTest, SparseModeWatchesTheFreeSpaceWithAMargin) {
  volume_ = platform::VolumeAllocation::kSparse;
  Downloading();
  engine_.freeBytes = kFilesBytes + 50 * 1048576;
  C().EvaluateState();
  EXPECT_EQ(C().State(), kStateDownloading);
  EXPECT_FALSE(C().DiskSpaceLow());
  engine_.freeBytes = kFilesBytes - 1;
  C().EvaluateState();
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_TRUE(C().DiskSpaceLow());
  EXPECT_EQ(engine_.messages.back(), "预留磁盘空间不足，下载暂停。");
  EXPECT_EQ(engine_.CountOf("11990301"), 1);
  engine_.freeBytes = kFilesBytes + kReserve;
  C().EvaluateState();
  EXPECT_FALSE(C().DiskSpaceLow());
}

TEST_F(ControllerTest, RowTexts) {
  Downloading();
  TaskOf(0).progress.progress = 507;
  TaskOf(1).progress.progress = 10000;
  TaskOf(2).answers = false;
  EXPECT_EQ(C().GetRowStatusText(0), "5.07%    ");
  EXPECT_EQ(C().GetRowStatusText(1), "√ 下载完成  ");
  EXPECT_EQ(C().GetRowStatusText(2), "准备下载    ");
  EXPECT_EQ(C().GetRowStatusText(3), "准备下载    ");
}

TEST_F(ControllerTest, ActiveSecondsAddUpOverRuns) {
  Start();
  C().OnMainAction();
  for (int n = 0; n < 3; ++n) C().PollTasks();
  EXPECT_EQ(C().Records().Record().Read("BrightwillowTask", "BrightwillowTaskDownloadTime"), "3");
  C().SaveCloseSelection(2);
  EXPECT_EQ(C().LoadCloseSelection(), 2);
}

}  // namespace
}  // namespace bw::app::test

namespace bw::app::test {
namespace {

// The power-off is asked once, with a minute's delay, on reaching "finished" when chosen, and
// never otherwise; a refusal is told to the user.
TEST_F(ControllerTest, AutomaticShutdownReachesThePowerOffOnlyWhenChosen) {
  struct Case {
    bool chosen;
    bool grants;
    std::vector<int> calls;
    int failureMessages;
  };
  const Case cases[] = {{false, true, {}, 0}, {true, true, {60}, 0}, {true, false, {60}, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "chosen " << c.chosen << " grants " << c.grants);
    Downloading();
    std::vector<int> calls;
    C().SetPowerOff([&](int seconds) {
      calls.push_back(seconds);
      return c.grants;
    });
    C().SetAutoShutdown(c.chosen);
    CompleteAll();
    for (int n = 0; n < 3; ++n) {
      C().PollTasks();
      C().EvaluateState();
    }
    ASSERT_EQ(C().State(), kStateFinished);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(std::count(engine_.messages.begin(), engine_.messages.end(), "自动关机失败，请手动关机"),
              c.failureMessages);
    engine_.messages.clear();
    // The next case starts from a first run again.
    std::filesystem::remove_all(dir_.Path("data"));
    std::filesystem::remove_all(SaveFolder());
  }
}

}  // namespace
}  // namespace bw::app::test
