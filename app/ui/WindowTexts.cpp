#include "app/ui/WindowTexts.h"

#include <algorithm>
#include <cstdio>

#include "app/ControllerFormat.h"

namespace bw::app::ui {
namespace {

constexpr int kRepairCycle = 12;
constexpr int kRepairWordTicks = 4;

std::string Percent(int hundredths) {
  char text[32];
  std::snprintf(text, sizeof text, "%3.2f%%", hundredths / 100.0);
  return text;
}

}  // namespace

bool ShowsVerification(int state) { return state >= kStateMd5Checking && state <= kStateInstalling; }

std::string ProgressLabel(int state) {
  if (state == kStateMd5Checking || state == kStateCheckFinished) return "验证进度:";
  if (state == kStateCheckRecover) return "修复进度:";
  return "当前进度:";
}

std::string ProgressValue(const ControllerView& view) {
  if (view.state == kStateMd5Checking || view.state == kStateCheckFinished) return Percent(view.verifyProgress);
  if (view.state == kStateCheckRecover) return view.repairProgress == 0 ? "准备中" : Percent(view.repairProgress);
  return Percent(view.overallProgress);
}

std::string SpeedShown(const ControllerView& view, int repairTick) {
  if (view.state == kStateMd5Checking) return "文件验证中...";
  if (view.state == kStateCheckRecover) {
    if (view.repairProgress == 0) return "修复准备...";
    return repairTick % kRepairCycle < kRepairWordTicks ? "修复中..." : FormatSpeed(view.repairSpeed);
  }
  return view.speedText;
}

std::string FinishedText(const ControllerView& view) {
  if (view.state == kStateCheckFinished) return view.mismatchSeen ? "√ 修复成功" : "√ 验证通过";
  if (view.state == kStateFinished || view.state == kStateInstalling) return "下载完成";
  return "";
}

int BarProgress(const ControllerView& view) {
  return std::clamp(ShowsVerification(view.state) ? view.verifyProgress : view.overallProgress, 0, 10000);
}

}  // namespace bw::app::ui
