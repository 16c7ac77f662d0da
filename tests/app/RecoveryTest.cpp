// What a start finds of the previous run, from the record file and the files on disk.
#include <chrono>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <time.h>

#include "app/RecordFile.h"
#include "tests/app/AppTestSupport.h"

namespace bw::app::test {
namespace {

class RecoveryTest : public ControllerFixture {
 protected:
  // A download whose files `complete` finished (and were fingerprinted); the others are partial.
  void DownloadUntil(std::initializer_list<int> complete) {
    Downloading();
    for (int i = 0; i < kFileCount; ++i) WriteFile(FileIn(i) + ".bwtmp", "partial");
    for (int i : complete) {
      std::filesystem::remove(FileIn(i) + ".bwtmp");
      WriteFile(FileIn(i), "content " + std::to_string(i));
      TaskOf(i).complete = 1;
      TaskOf(i).progress.progress = 10000;
    }
    C().PollTasks();
    C().EvaluateState();
  }

  void DownloadAll() {
    DownloadUntil({0, 1, 2, 3, 4});
    ASSERT_EQ(C().State(), kStateFinished);
  }

  // The files whose tasks the last start recovered.
  std::vector<std::string> Recovered() {
    std::vector<std::string> targets;
    for (const auto& [handle, task] : engine_.tasks) {
      if (task.recovered) targets.push_back(task.target);
    }
    return targets;
  }

  void Touch(int i) {
    const auto path = FileIn(i);
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(10));
  }
};

TEST_F(RecoveryTest, ACompletedDownloadStartsFinishedWithoutTasks) {
  DownloadAll();
  EXPECT_EQ(Start(), 1);
  EXPECT_EQ(C().State(), kStateFinished);
  EXPECT_TRUE(Recovered().empty());
}

// The fingerprints are kept in UTC: a time-zone change leaves them matching.
TEST_F(RecoveryTest, FingerprintsSurviveATimeZoneChange) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  DownloadAll();
  ::setenv("TZ", "CST-8", 1);
  ::tzset();
  Start();
  ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(C().State(), kStateFinished);
}

TEST_F(RecoveryTest, OneDeletedFileOfACompletedDownloadIsRecoveredAlone) {
  DownloadAll();
  std::filesystem::remove(FileIn(3));
  EXPECT_EQ(Start(), 1);
  EXPECT_EQ(C().State(), kStateRecover);
  EXPECT_THAT(Recovered(), ::testing::ElementsAre(FileIn(3)));
  EXPECT_EQ(engine_.Codes().back(), "11030000");
}

TEST_F(RecoveryTest, AChangedFileIsCheckedAndDownloadedAgain) {
  DownloadAll();
  Touch(1);
  Start();
  EXPECT_EQ(C().State(), kStateReload);
  EXPECT_THAT(Recovered(), ::testing::ElementsAre(FileIn(1)));
}

TEST_F(RecoveryTest, PartialFilesContinue) {
  DownloadUntil({});
  Start();
  EXPECT_EQ(C().State(), kStateRecover);
  EXPECT_EQ(Recovered().size(), 5u);
  EXPECT_EQ(C().Records().Record().Read("BrightwillowTask", "BrightwillowTask4"), "tnw004.cab");
}

TEST_F(RecoveryTest, AllFilesGoneFromTheSaveFolderStartOver) {
  DownloadAll();
  for (int i = 0; i < kFileCount; ++i) std::filesystem::remove(FileIn(i));
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_FALSE(C().Records().Record().Exists());
  EXPECT_EQ(engine_.messages.back(), "目标文件被删除或移动，请重新下载");
  EXPECT_EQ(C().GetSaveFolder(), SaveFolder());
}

// The save folder itself is gone (a disk not plugged in): the record stays for the next start.
TEST_F(RecoveryTest, AMissingSaveFolderKeepsTheRecord) {
  DownloadAll();
  std::filesystem::rename(SaveFolder(), SaveFolder() + ".unplugged");
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_TRUE(C().Records().Record().Exists());
  EXPECT_TRUE(Recovered().empty());
  std::filesystem::rename(SaveFolder() + ".unplugged", SaveFolder());
  Start();
  EXPECT_EQ(C().State(), kStateFinished);
}

TEST_F(RecoveryTest, ARecordHoldingOnlyTheCloseChoiceIsBlank) {
  Start();
  C().SaveCloseSelection(1);
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(C().State(), kStateReady);
  EXPECT_EQ(C().LoadCloseSelection(), 1);
}

// A stored info path is taken only inside the info folder: the engine deletes that file.
TEST_F(RecoveryTest, StoredInfoPathsOutsideTheInfoFolderAreRefused) {
  DownloadUntil({});
  Start();
  const std::string infoFolder = C().Records().infoFolder;
  const RecordFile& record = C().Records().Record();
  record.Write("BrightwillowTask", "BrightwillowDownloadInfo0", infoFolder + "elsewhere.bwinfo");
  record.Write("BrightwillowTask", "BrightwillowDownloadInfo1", dir_.Path("home/.profile"));
  record.Write("BrightwillowTask", "BrightwillowDownloadInfo2", infoFolder + "../x.bwinfo");
  Start();
  EXPECT_EQ(C().Records().infoPaths[0], infoFolder + "elsewhere.bwinfo");
  EXPECT_EQ(C().Records().infoPaths[1], infoFolder + "tnw001.cab.bwinfo");
  EXPECT_EQ(C().Records().infoPaths[2], infoFolder + "tnw002.cab.bwinfo");
}

TEST_F(RecoveryTest, ARefusedRecoveryPausesWithAMessage) {
  DownloadUntil({0});
  engine_.refusedTarget = FileIn(3);
  Start();
  EXPECT_EQ(C().State(), kStatePause);
  EXPECT_EQ(engine_.messages.back(), "下载启动失败请重试");
  EXPECT_EQ(engine_.CountOf("11400101"), 1);
  EXPECT_FALSE(TaskOf(1).running);
}

// A file complete at start-up has no task; when it changes during a pause, continuing gives it one.
TEST_F(RecoveryTest, ContinuingRecoversAChangedFileThatHadNoTask) {
  DownloadUntil({0, 1, 2, 3});
  Start();
  ASSERT_EQ(C().State(), kStateReload);
  ASSERT_THAT(Recovered(), ::testing::ElementsAre(FileIn(4)));
  TaskOf(4).progress.speed = 5000;
  C().GetSpeedText();
  C().OnMainAction();
  ASSERT_EQ(C().State(), kStatePause);
  Touch(2);
  C().OnMainAction();
  EXPECT_EQ(C().State(), kStateResume);
  EXPECT_THAT(Recovered(), ::testing::UnorderedElementsAre(FileIn(4), FileIn(2)));
}

}  // namespace
}  // namespace bw::app::test
