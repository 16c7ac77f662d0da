#include "app/ui/WindowTexts.h"

#include <gtest/gtest.h>

namespace bw::app::ui {
namespace {

ControllerView ViewIn(int state) {
  ControllerView view;
  view.state = state;
  view.speedText = "1.5 MB/s";
  view.overallProgress = 4567;
  view.verifyProgress = 1234;
  return view;
}

TEST(WindowTexts, LabelValueAndSpeedFollowTheState) {
  struct Case {
    int state;
    const char* label;
    const char* value;
    const char* speed;
    const char* finished;
  };
  const Case cases[] = {
      {kStateDownloading, "当前进度:", "45.67%", "1.5 MB/s", ""},
      {kStatePause, "当前进度:", "45.67%", "1.5 MB/s", ""},
      {kStateMd5Checking, "验证进度:", "12.34%", "文件验证中...", ""},
      {kStateCheckRecover, "修复进度:", "准备中", "修复准备...", ""},
      {kStateCheckFinished, "验证进度:", "12.34%", "1.5 MB/s", "√ 验证通过"},
      {kStateFinished, "当前进度:", "45.67%", "1.5 MB/s", "下载完成"},
      {kStateInstalling, "当前进度:", "45.67%", "1.5 MB/s", "下载完成"},
  };
  for (const Case& c : cases) {
    const ControllerView view = ViewIn(c.state);
    EXPECT_EQ(ProgressLabel(c.state), c.label) << c.state;
    EXPECT_EQ(ProgressValue(view), c.value) << c.state;
    EXPECT_EQ(SpeedShown(view, 0), c.speed) << c.state;
    EXPECT_EQ(FinishedText(view), c.finished) << c.state;
  }
  ControllerView repaired = ViewIn(kStateCheckFinished);
  repaired.mismatchSeen = true;
  EXPECT_EQ(FinishedText(repaired), "√ 修复成功");
}

TEST(WindowTexts, RepairAlternatesAWordAndItsRateOverTwelveTicks) {
  ControllerView view = ViewIn(kStateCheckRecover);
  view.repairProgress = 250;
  view.repairSpeed = 2048;
  EXPECT_EQ(ProgressValue(view), "2.50%");
  std::string shown;
  for (int tick = 0; tick < 13; ++tick) shown += SpeedShown(view, tick) == "修复中..." ? "w" : "r";
  EXPECT_EQ(shown, "wwwwrrrrrrrrw");
  EXPECT_EQ(SpeedShown(view, 5), "2.0 KB/s");
}

TEST(WindowTexts, BarShowsTheCheckWhileVerifyingAndNeverPastTheEnd) {
  ControllerView view = ViewIn(kStateDownloading);
  EXPECT_EQ(BarProgress(view), 4567);
  view.state = kStateCheckRecover;
  EXPECT_EQ(BarProgress(view), 1234);
  view.state = kStateDownloading;
  view.overallProgress = 10050;
  EXPECT_EQ(BarProgress(view), 10000);
}

}  // namespace
}  // namespace bw::app::ui
