#include "app/CDownloadController.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <vector>

#include "app/AppFolders.h"
#include "app/AppTexts.h"
#include "app/ControllerFormat.h"
#include "app/LaunchResult.h"
#include "app/PostedVerificationTarget.h"
#include "app/ResourceUnpack.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace bw::app {
namespace {

constexpr uint64_t kReserveBytes = 104857600;  // the required space's margin (100 MiB)
constexpr uint32_t kFlowingSpeed = 1024;       // bytes per second above which data is flowing
constexpr uint32_t kStatisticsPolls = 300;     // a statistics record every five minutes of activity
constexpr uint32_t kRefreshQueries = 600;      // a resource-list refresh every ten minutes
constexpr int kUnlimitedKiB = 0x7FFF;
constexpr int kMinimumTaskKiB = 10;
constexpr const char* kTaskSection = "BrightwillowTask";
constexpr const char* kInstallFailedCaption = "安装失败";
constexpr int kReportLogChannel = 28;  // the statistics upload's log

bool StateIn(int state, std::initializer_list<int> states) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

// The file version as "%d.%d.%d.%d"; the fallback when the build carries none.
std::string AppVersion() {
  std::string version = BW_APP_VERSION;
  if (version.empty()) return kFallbackAppVersion;
  for (int dots = static_cast<int>(std::count(version.begin(), version.end(), '.')); dots < 3; ++dots) version += ".0";
  return version;
}

}  // namespace

const char* StateName(int state) {
  switch (state) {
    case kStateBack:
      return "back";
    case kStateReady:
      return "ready";
    case kStatePreparing:
      return "preparing";
    case kStateDownloading:
      return "downloading";
    case kStatePause:
      return "pause";
    case kStateResume:
      return "resume";
    case kStateFailed:
      return "failed";
    case kStateFinished:
      return "finished";
    case kStateRetry:
      return "retry";
    case kStateMd5Checking:
      return "md5checking";
    case kStateCheckRecover:
      return "checkrecover";
    case kStateCheckFinished:
      return "checkfinished";
    case kStateRecover:
      return "recover";
    case kStateReload:
      return "reload";
    default:
      return "";
  }
}

CDownloadController::CDownloadController(IEngine& engine, IControllerHost& host, const Package& package)
    : engine_(engine),
      host_(host),
      package_(package),
      records_(engine, package),
      allocationProbe_(platform::ProbeVolumeAllocation),
      portMapping_(engine) {}

void CDownloadController::Log(const char* text) { LogPrintf(kAppLogChannel, kAppLogChannel, "%s", text); }

int CDownloadController::Initialize(int listenPort) {
  diskSpaceLow_ = false;
  records_.reloadList.clear();
  speedLimit_ = 0;
  displayedSpeed_ = 0;
  tasksStarted_ = false;
  uint64_t sizes = 0;
  for (const PackageRow& row : package_.rows) sizes += row.size;
  if (sizes == 0) return -1;
  requiredSpace_ = sizes + kReserveBytes;
  downloadedBytes_ = 0;
  overallProgress_ = 0;

  records_.BuildFolders();
  engine_.CreateEngineLog(records_.Folders().logBase.c_str());
  Log("=====================正在初始化=====================");
  std::string configPath;
  if (UnpackResource(package_.statisticsConfigBase64, true, records_.Folders().appFolder, kStatisticsConfigName,
                     &configPath) < 0) {
    Log("BWconf资源释放失败");
    engine_.ReportEvent("11400190", "BWconf资源释放失败", 0);
    return -2;
  }
  engine_.StartDataUpload(configPath.c_str(), kGameId, AppVersion().c_str(), kGameVersion, kChannel);
  if (listenPort == kMapListenPort) listenPort = portMapping_.ChoosePortAndMap(host_.Poster());
  engine_.SetListenPort(listenPort);
  records_.tasks = {};
  userExit_ = installerStarted_ = false;
  Log("自我恢复功能关闭");
  peerBudget_ = ReadPeerBudget(LinkFilePath());
  connectingBudget_ = 105;

  switch (records_.Restore()) {
    case RestoreOutcome::kBlank:
      state_ = kStateReady;
      break;
    case RestoreOutcome::kLost:
      Log("目标文件全部丢失，退回初始状态");
      records_.Record().Remove();
      state_ = kStateReady;
      engine_.ShowMessage("目标文件被删除或移动，请重新下载");
      records_.ChooseDefaultSaveFolder();
      break;
    case RestoreOutcome::kFolderMissing:
      // The files may be on a disk that is not plugged in: keep the record for the next start.
      Log("保存目录不存在，保留下载记录");
      state_ = kStateReady;
      engine_.ShowMessage(("找不到保存目录 " + records_.saveFolder + "，请接好磁盘后重新启动下载器").c_str());
      break;
    case RestoreOutcome::kComplete:
      Log("下载已经完成，文件正确");
      ChooseAllocationMode();
      state_ = kStateFinished;
      break;
    case RestoreOutcome::kCheck:
      Log("需要文件校验");
      ChooseAllocationMode();
      state_ = kStateReload;
      break;
    case RestoreOutcome::kRecover:
      Log("成功地恢复了下载，可以进行续传");
      ChooseAllocationMode();
      state_ = kStateRecover;
      break;
  }
  if (!StateIn(state_, {kStateRecover, kStateReload, kStateFinished, kStateRetry})) return 0;
  RecoverTasks();
  return 1;
}

void CDownloadController::RecoverTasks() {
  records_.WriteTaskSet(StateIn(state_, {kStateBack, kStateReady}));
  runSeconds_ = totalSeconds_ = 0;
  engine_.SetBtHttpDisguise(1);
  if (engine_.InitEngine(records_.Folders().appFolder.c_str()) != kEngineOk) {
    Log("Reload Download Task] [环境初始化失败");
    engine_.ReportEvent("11400101", "继续下载：环境初始化失败", 0);
    engine_.ShowMessage("下载启动失败请重试");
  } else {
    Refusal refusal;
    for (int j = 0; j < kFileCount; ++j) {
      records_.CheckFingerprint(j, true);
      const std::vector<int>& reload = records_.reloadList;
      if (std::find(reload.begin(), reload.end(), j) != reload.end()) {
        refusal.Note(j, records_.RecoverTask(j, false));
      } else {
        records_.done[j] = 1;
      }
    }
    if (refusal.file >= 0) StopOnRefusedTask(refusal, "Reload Download Task", "继续下载：任务创建失败");
  }
  tasksStarted_ = ActiveCount() > 0;
  if (tasksStarted_) {
    engine_.ReportEvent("11030000", "", 0);
    ApplySpeedLimit(speedLimit_);
  }
}

void CDownloadController::StopOnRefusedTask(const Refusal& refusal, const char* where, const char* report) {
  LogPrintf(kAppLogChannel, kAppLogChannel, "%s] [任务创建失败：%s ErrorCode : %d", where,
            FileName(refusal.file).c_str(), refusal.result);
  engine_.ReportEvent("11400101", report, 0);
  StopAll();
  engine_.ShowMessage("下载启动失败请重试");
}

// Reserving space ahead stands for the volume-maintenance privilege that makes preallocation
// cheap; without it, a volume with sparse files takes space as data arrives.
void CDownloadController::ChooseAllocationMode() {
  const std::optional<platform::VolumeAllocation> volume = allocationProbe_(records_.saveFolder);
  if (!volume) return;
  switch (*volume) {
    case platform::VolumeAllocation::kReserves:
      allocationMode_ = AllocationMode::kPreallocate;
      Log("使用磁盘预占");
      break;
    case platform::VolumeAllocation::kSparse:
      allocationMode_ = AllocationMode::kSparse;
      Log("文件系统支持稀疏文件");
      break;
    case platform::VolumeAllocation::kNeither:
      allocationMode_ = AllocationMode::kPreallocate;
      Log("文件系统^不^支持稀疏文件");
      break;
  }
}

bool CDownloadController::IsActive() const {
  return StateIn(state_, {kStatePreparing, kStateDownloading, kStateResume, kStateRetry, kStateRecover, kStateReload});
}

CDownloadController::TaskFigures CDownloadController::Query(int i) {
  TaskFigures figures;
  figures.answers = records_.tasks[i] && engine_.GetTaskProgress(records_.tasks[i], &figures.progress) == kEngineOk;
  return figures;
}

int CDownloadController::ActiveCount() {
  int count = 0;
  for (int i = 0; i < kFileCount; ++i) count += !records_.done[i] && Query(i).answers;
  return count;
}

void CDownloadController::CompletionCheck(int i) {
  int complete = 0;
  if (engine_.IsTaskComplete(records_.tasks[i], &complete) != kEngineOk || !complete || records_.done[i]) return;
  records_.done[i] = 1;
  records_.RecordFingerprint(i);
  ApplySpeedLimit(speedLimit_);
  engine_.ReportFileEvent("11080000", FileName(i).c_str(), "");
}

void CDownloadController::OnMainAction() {
  switch (state_) {
    case kStateBack:
    case kStateReady:
      BeginDownload();
      break;
    case kStateDownloading:
    case kStateResume:
      PauseDownload();
      break;
    case kStatePause:
      ContinuePausedDownload();
      break;
    case kStateFinished:
      engine_.ReportEvent("11070000", "", 0);
      PromptInstall();
      break;
    case kStateMd5Checking:
      engine_.ShowMessage("MD5计算工作中……请等待完成");
      break;
    case kStateCheckRecover:
      engine_.ShowMessage("部分文件错误，正在修复中...");
      break;
    case kStateCheckFinished:
      engine_.ReportEvent("11070000", "点击时已经验证过安装包分卷了", 0);
      LaunchInstaller(true);
      break;
    default:
      break;
  }
}

void CDownloadController::BeginDownload() {
  if (engine_.GetDiskFreeBytes(records_.saveFolder.c_str()) < requiredSpace_) {
    engine_.ShowMessage("当前磁盘空间不足，请选择其他位置存放");
    diskSpaceLow_ = true;
    return;
  }
  engine_.ReportEvent("11010000", "", 7);
  records_.WriteTaskSet(true);
  runSeconds_ = totalSeconds_ = 0;
  engine_.SetBtHttpDisguise(1);
  records_.WriteSavePath();
  ChooseAllocationMode();
  if (engine_.InitEngine(records_.Folders().appFolder.c_str()) != kEngineOk) {
    Log("Begin Download Task] [环境初始化失败");
    engine_.ReportEvent("11400101", "Begin Download Task 环境初始化失败", 0);
    engine_.ShowMessage("下载启动失败请重试");
    return;
  }
  Refusal refusal;
  for (int i = 0; i < kFileCount; ++i) {
    refusal.Note(i, records_.CreateTask(i));
    tasksStarted_ = true;
    ApplySpeedLimit(speedLimit_);
  }
  ApplySpeedLimit(speedLimit_);
  state_ = kStatePreparing;
  if (refusal.file >= 0) StopOnRefusedTask(refusal, "Begin Download Task", "Begin Download Task 任务创建失败");
}

void CDownloadController::StopAll() {
  std::vector<TaskHandle> handles;
  for (TaskHandle task : records_.tasks) {
    if (task) handles.push_back(task);
  }
  std::vector<int> results(handles.size());
  engine_.StopDownloadTasks(handles.data(), static_cast<unsigned>(handles.size()), false, results.data());
  state_ = kStatePause;
}

void CDownloadController::PauseDownload() {
  SendStatistics("11020000");
  StopAll();
}

void CDownloadController::ContinuePausedDownload() {
  engine_.ReportEvent("11030000", "", 0);
  Refusal refusal;
  for (int i = 0; i < kFileCount; ++i) {
    if (records_.CheckFingerprint(i, false)) continue;
    records_.done[i] = 0;
    if (records_.tasks[i]) {
      engine_.ResumeDownloadTask(records_.tasks[i]);
      continue;
    }
    // A file complete at start-up that changed since, or one whose task was refused, has no task
    // to resume: it gets one.
    const int result = records_.RecoverTask(i, false);
    refusal.Note(i, result);
    if (result == kEngineOk) {
      tasksStarted_ = true;
      ApplySpeedLimit(speedLimit_);
    }
  }
  state_ = kStateResume;
  if (refusal.file >= 0) StopOnRefusedTask(refusal, "Continue Download Task", "继续下载：任务创建失败");
}

int CDownloadController::EvaluateState() {
  overallProgress_ = GetOverallProgress();
  const uint64_t downloaded = GetDownloadedBytes();
  if (allocationMode_ == AllocationMode::kSparse) {
    const uint64_t free = engine_.GetDiskFreeBytes(records_.saveFolder.c_str());
    if (free + downloaded >= requiredSpace_) {
      diskSpaceLow_ = false;
      if (state_ == kStateBack) state_ = kStateReady;
    } else {
      platform::SleepMs(50);
      if (free + GetDownloadedBytes() + kReserveBytes < requiredSpace_) {
        if (state_ == kStateReady) {
          state_ = kStateBack;
          engine_.ShowMessage("当前磁盘空间不足，请选择其他位置存放。");
        } else if (state_ == kStateDownloading) {
          StopAll();
          SendStatistics("11990301");
          engine_.ShowMessage("预留磁盘空间不足，下载暂停。");
        }
        if (StateIn(state_, {kStateBack, kStateReady, kStateDownloading, kStatePause})) diskSpaceLow_ = true;
      }
    }
  }
  if (state_ == kStatePreparing && overallProgress_ != 0) state_ = kStateReload;
  if (std::make_pair(state_, diskSpaceLow_) != lastLogged_) {
    const int previous = lastLogged_.first;
    lastLogged_ = {state_, diskSpaceLow_};
    RunEntryActions(previous);
  }
  return state_;
}

void CDownloadController::RunEntryActions(int previousState) {
  // A change of the space flag alone is no new entry into "finished".
  const bool entersFinished = state_ == kStateFinished && previousState != kStateFinished;
  if (entersFinished) {
    for (int i = 0; i < kFileCount; ++i) records_.RecordFingerprint(i);
    if (tasksStarted_) SendStatistics("11060000");
    ApplySpeedLimit(speedLimit_);
  }
  if (*StateName(state_)) Log((std::string("Brightwillow Utility: 下载状态改变为") + StateName(state_)).c_str());
  if (entersFinished && autoShutdown_) {
    Log("Brightwillow Utility: 触发自动关机");
    ScheduleShutdown();
  }
}

void CDownloadController::ScheduleShutdown() {
  // Without a power-off given (as in tests), nothing can power the machine off.
  if (!powerOff_ || !powerOff_(60)) engine_.ShowMessage("自动关机失败，请手动关机");
}

void CDownloadController::PollTasks() {
  if (StateIn(state_, {kStateBack, kStateReady, kStateFailed, kStateUnknownExit})) return;
  if (IsActive()) {
    if (++statisticsCounter_ % kStatisticsPolls == 0) SendStatistics("11050000");
    const uint32_t t = static_cast<uint32_t>(std::strtoul(
                           records_.Record().Read(kTaskSection, "BrightwillowTaskDownloadTime").c_str(), nullptr, 10)) +
                       1;
    ++runSeconds_;
    if (totalSeconds_ < t) {
      totalSeconds_ = t;
      records_.Record().Write(kTaskSection, "BrightwillowTaskDownloadTime", std::to_string(t));
    }
  } else {
    statisticsCounter_ = 0;
  }
  for (int i = 0; i < kFileCount; ++i) {
    if (Query(i).answers) CompletionCheck(i);
  }
  if (StateIn(state_, {kStateMd5Checking, kStateCheckRecover, kStateCheckFinished})) return;
  const bool allDone = std::all_of(records_.done.begin(), records_.done.end(), [](int d) { return d != 0; });
  if (allDone && ActiveCount() == 0) {
    state_ = kStateFinished;
    records_.MarkComplete();
  }
}

int CDownloadController::GetOverallProgress() {
  uint64_t sum = 0, acc = 0;
  for (int i = 0; i < kFileCount; ++i) {
    const uint64_t weight = package_.rows[i].size;
    if (records_.done[i]) {
      sum += weight;
      acc += weight * 10000;
      continue;
    }
    const TaskFigures figures = Query(i);
    if (!figures.answers) continue;
    CompletionCheck(i);
    const int status = figures.progress.status;
    if (status != lastSeenStatus_[i]) {
      lastSeenStatus_[i] = status;
      OnEngineStatus(status);
    }
    sum += weight;
    const bool whole = records_.done[i] || figures.progress.progress > 9999;
    acc += weight * (whole ? 10000 : static_cast<uint64_t>(std::max(figures.progress.progress, 0)));
  }
  return sum == 0 ? 0 : static_cast<int>(acc / sum);
}

void CDownloadController::OnEngineStatus(int status) {
  if (status == 0 || status == lastHandledStatus_) return;
  lastHandledStatus_ = status;
  switch (status) {
    case 20207:
      engine_.ShowMessage("网络错误");
      break;
    case kTaskStatusMetadataTimeout:
      SendStatistics("11990202");
      engine_.ShowMessage("网络连接超时，下载失败");
      break;
    case kTaskStatusDiskFull:
      if (state_ == kStateDownloading) StopAll();
      diskSpaceLow_ = true;
      SendStatistics("11990301");
      engine_.ShowMessage("磁盘空间不足，请检查并重新启动下载器！");
      break;
    case kTaskStatusNoSources:
      engine_.ShowMessage("下载出错，请重试");
      break;
    case kTaskStatusWriteFailed:
      state_ = kStateFailed;
      engine_.ShowMessage("由于磁盘损坏无法写入，下载失败");
      break;
    default:
      break;
  }
}

uint64_t CDownloadController::GetDownloadedBytes() {
  uint64_t sum = 0;
  for (int i = 0; i < kFileCount; ++i) {
    const TaskFigures figures = Query(i);
    if (figures.answers) {
      sum += figures.progress.doneBytes;
    } else if (const int64_t onDisk = engine_.GetFileSizeOnDisk(records_.FilePath(i).c_str()); onDisk >= 0) {
      sum += static_cast<uint64_t>(onDisk);
    }
  }
  const bool recording = !StateIn(state_, {kStateBack, kStateReady, kStatePause, kStateFailed, kStateFinished,
                                           kStateMd5Checking, kStateInstalling, 14, kStateUnknownExit});
  if (recording && sum != downloadedBytes_) {
    constexpr uint64_t kSplit = 1ULL << 31;
    records_.Record().Write(kTaskSection, {{"BrightwillowTaskLastSizeHigh", std::to_string(sum / kSplit)},
                                           {"BrightwillowTaskLastSizeLow", std::to_string(sum % kSplit)}});
  }
  downloadedBytes_ = sum;
  return sum;
}

void CDownloadController::ApplySpeedLimit(int kBps) {
  speedLimit_ = kBps == 0 ? kUnlimitedKiB : kBps;
  const int n = ActiveCount();
  // No limit stays none for every task: the engine's unlimited value spread over several tasks
  // would cap the whole download at 32 MiB/s.
  const int each =
      speedLimit_ == kUnlimitedKiB ? kUnlimitedKiB : std::max(n > 1 ? speedLimit_ / n : speedLimit_, kMinimumTaskKiB);
  for (TaskHandle task : records_.tasks) {
    if (task) engine_.SetTaskSpeedLimit(task, 1, each);
  }
}

void CDownloadController::ApplyPeerLimits(int peers, int connecting) {
  const int n = ActiveCount();
  if (std::make_pair(peers, n) == lastPeerLimits_) return;
  lastPeerLimits_ = {peers, n};
  peerBudget_ = peers;
  if (n == 0) return;
  int peersLeft = peers % n, connectingLeft = connecting % n;
  for (int i = 0; i < kFileCount; ++i) {
    if (records_.done[i]) continue;
    const int a = peersLeft > 0 ? (--peersLeft, 1) : 0;
    const int b = connectingLeft > 0 ? (--connectingLeft, 1) : 0;
    engine_.SetTaskPeerLimits(records_.tasks[i], std::max(peers / n + a, 1), std::max(connecting / n + b, 1));
  }
}

void CDownloadController::SendStatistics(const char* code, const char* message) {
  uint64_t http = 0, p2p = 0;
  for (int i = 0; i < kFileCount; ++i) {
    const TaskFigures figures = Query(i);
    if (figures.answers) {
      cachedHttpBytes_[i] = figures.progress.httpBytes;
      cachedP2pBytes_[i] = figures.progress.p2pBytes;
    }
    http += cachedHttpBytes_[i];
    p2p += cachedP2pBytes_[i];
  }
  uint64_t total = http + p2p;
  if (static_cast<int64_t>(total) < 0) total = 0;
  const uint32_t s = runSeconds_;
  const std::string progress = FormatPercent(static_cast<uint32_t>(GetOverallProgress()));
  engine_.ReportDownloadData(code, s, total, s ? total / s : 0, progress.c_str(), http, s ? http / s : 0, p2p,
                             s ? p2p / s : 0, message);
}

std::string CDownloadController::GetSpeedText() {
  engine_.EnableP2P(p2pSwitch_);
  if (state_ == kStatePause) mirrorCounter_ = 0;
  if (IsActive()) {
    totalSpeed_ = 0;
    for (int i = 0; i < kFileCount; ++i) {
      if (records_.done[i]) continue;
      const TaskFigures figures = Query(i);
      if (figures.answers) totalSpeed_ += static_cast<uint32_t>(std::max(figures.progress.speed, 0));
    }
    if (totalSpeed_ > kFlowingSpeed) {
      state_ = kStateDownloading;
      ApplyPeerLimits(peerBudget_, connectingBudget_);
    }
    if (state_ == kStateDownloading) {
      CountMirrorRefresh();
    } else {
      mirrorCounter_ = 0;
    }
    if (speedLimit_ == 0) {
      displayedSpeed_ = totalSpeed_;
    } else {
      const uint32_t limit = static_cast<uint32_t>(speedLimit_) * 1024;
      if (limit >= totalSpeed_) {
        displayedSpeed_ = totalSpeed_;
      } else if (displayedSpeed_ < limit) {
        displayedSpeed_ = static_cast<uint32_t>((static_cast<uint64_t>(totalSpeed_) + displayedSpeed_) / 2);
      } else {
        displayedSpeed_ = static_cast<uint32_t>((static_cast<uint64_t>(limit) + displayedSpeed_) / 2);
      }
    }
    return FormatSpeed(displayedSpeed_);
  }
  if (state_ == kStateCheckRecover) {
    CountMirrorRefresh();
    return "";
  }
  mirrorCounter_ = 0;
  return "0 B/s";
}

void CDownloadController::CountMirrorRefresh() {
  if (mirrorCounter_ % kRefreshQueries == 0) StartMirrorRefresh();
  ++mirrorCounter_;
}

void CDownloadController::StartMirrorRefresh() {
  if (refreshRunning_) return;  // one at a time: a slow server must not pile fetches up
  refreshRunning_ = true;
  host_.RunInBackground([post = host_.Poster(), url = package_.resourceListUrl, stop = stopWorkers_, this] {
    std::optional<ResourceList> list = FetchResourceList(url, 0, stop.get());
    post([this, list = std::move(list)] {
      refreshRunning_ = false;
      RefreshMirrors(list);
    });
  });
}

int CDownloadController::RefreshMirrors(const std::optional<ResourceList>& list) {
  if (!list) {
    LogPrintf(38, 38, "Seek res FAILED with XML content failed");
    return -1;
  }
  if (!list->isResourceList) return -2;
  try {
    p2pSwitch_ = list->p2pOn ? 1 : 0;
    Log(p2pSwitch_ ? "启用P2P功能" : "禁用P2P功能");
    engine_.EnableP2P(p2pSwitch_);
    // Every task's list is replaced: mirrors the list no longer names leave.
    for (TaskHandle task : records_.tasks) {
      if (task) engine_.ClearTaskMirrors(task);
    }
    bool added = false;
    int k = 0;
    for (const ResourceEntry& entry : list->resources) {
      int row = 0;
      while (row < kFileCount && package_.rows[row].url != entry.task) ++row;
      if (row == kFileCount) continue;
      if (k != CurrentFile() && k < kFileCount && records_.done[k]) {
        ++k;
        continue;
      }
      for (const Mirror& mirror : entry.mirrors) {
        engine_.AddTaskMirror(records_.tasks[row], mirror.url.c_str(), mirror.host.c_str());
        added = true;
      }
      ++k;
    }
    return added ? 0 : -2;
  } catch (...) {
    return -3;
  }
}

std::string CDownloadController::GetRowStatusText(int i) {
  if (records_.done[i]) {
    switch (state_) {
      case kStateMd5Checking:
        if (i > CurrentFile()) return "待验证    ";
        if (i == CurrentFile()) return "验证中：" + FormatHundredths(FileVerifyProgress()) + "  ";
        return "√ 验证通过  ";
      case kStateCheckRecover:
        if (i > CurrentFile()) return "待验证    ";
        if (i < CurrentFile()) return "√ 验证通过  ";
        return GetRepairProgress() != 0 ? "修复中：" + FormatHundredths(GetRepairProgress()) + "  " : "准备修复.. ";
      case kStateCheckFinished:
        return "√ 验证通过  ";
      default:
        return "√ 下载完成  ";
    }
  }
  const char* notStarted = state_ == kStateDownloading ? "准备下载    " : "未开始    ";
  const TaskFigures figures = Query(i);
  if (!figures.answers) return notStarted;
  const int progress = figures.progress.progress;
  if (progress >= 10000) return "√ 下载完成  ";
  if (progress > 0) return FormatHundredths(static_cast<uint32_t>(progress)) + "    ";
  return notStarted;
}

std::string CDownloadController::GetSizeText() {
  const uint64_t total = requiredSpace_ - kReserveBytes;
  if (state_ == kStateFinished) return FormatSize(total) + "/" + FormatSize(total);
  return (downloadedBytes_ ? FormatSize(downloadedBytes_) : "0 B") + "/" + FormatSize(total);
}

uint32_t CDownloadController::GetFileSpeed(int i) {
  const TaskFigures figures = Query(i);
  return figures.answers && !records_.done[i] ? static_cast<uint32_t>(std::max(figures.progress.speed, 0)) : 0;
}

int CDownloadController::SetSaveFolder(const std::string& folder) {
  records_.saveFolder = folder;
  return 1;
}

const char* CDownloadController::GetGameVersionText() const { return kGameVersionText; }

void CDownloadController::SetP2PEnabled(bool on) {
  p2pSwitch_ = on ? 1 : 0;
  engine_.EnableP2P(p2pSwitch_);
}

void CDownloadController::SaveCloseSelection(int choice) {
  records_.Record().Write(kTaskSection, "BrightwillowCloseSelection", std::to_string(static_cast<unsigned>(choice)));
}

int CDownloadController::LoadCloseSelection() const {
  return static_cast<int>(
      std::strtoul(records_.Record().Read(kTaskSection, "BrightwillowCloseSelection").c_str(), nullptr, 10));
}

bool CDownloadController::CheckExpiry(std::string* message, std::string* url) {
  const std::optional<ResourceList> list = FetchResourceList(package_.resourceListUrl, 2);
  if (!list || !list->expired) return false;
  *message = list->expiryMessage;
  *url = list->expiryUrl;
  return true;
}

void CDownloadController::StopWorkers() {
  *stopWorkers_ = true;
  if (verification_) verification_->Stop();
}

void CDownloadController::Shutdown() {
  StopWorkers();
  RecordExit();
  portMapping_.Stop();
  engine_.UninitEngine();
  engine_.ShutdownReporting();
}

void CDownloadController::RecordExit() {
  if (exitRecorded_) return;
  exitRecorded_ = true;
  if (userExit_) {
    Log("用户点击退出按钮");
    if (!StateIn(state_, {kStateFinished, kStateBack, kStateReady})) SendStatistics("11040000");
    Log("=====================退出=====================");
  } else if (installerStarted_) {
    Log("由于启动了安装程序，退出");
    Log("=====================退出=====================");
  } else {
    SendStatistics("11990501", "Unknow Exit, maybe crashed");
    Log("遭遇意外退出");
    state_ = kStateUnknownExit;
    Log("=====================已退出=====================");
  }
}

}  // namespace bw::app

namespace bw::app {

void CDownloadController::StartVerification(bool installAfter) {
  if (verification_ && (state_ == kStateMd5Checking || state_ == kStateCheckRecover)) return;
  state_ = kStateMd5Checking;
  installAfterCheck_ = installAfter;
  records_.WriteTaskSet(false);
  std::array<std::string, kFileCount> paths, names, digests;
  for (int i = 0; i < kFileCount; ++i) {
    paths[i] = records_.saveFolder + "/" + FileName(i);
    names[i] = FileName(i);
    digests[i] = package_.rows[i].digest;
  }
  auto target = std::make_shared<PostedVerificationTarget>(*this, engine_, host_.Poster(), paths, names, digests);
  auto verification = std::make_shared<Verification>(*target);
  verification_ = verification;
  host_.RunInBackground([target, verification, installAfter, post = host_.Poster(), this] {
    if (verification->Run() == Verification::kAllMatched && installAfter) post([this] { OnMainAction(); });
  });
}

void CDownloadController::PromptInstall() {
  if (question_ && !question_("是否验证安装文件的正确性？")) {
    engine_.ReportEvent("11100002", "", 0);
    LaunchInstaller(false);
  } else {
    engine_.ReportEvent("11100001", "", 0);
    StartVerification(true);
  }
}

void CDownloadController::LaunchInstaller(bool verified) {
  const int previous = state_;
  state_ = kStateInstalling;
  // Only the installer the check covers: the table's name in the save folder, never a stored text.
  const std::string path = GetInstallerPath();
  const std::string& name = FileName(0);
  if (!platform::PathExists(path)) {
    engine_.ShowMessage("安装程序丢失", kInstallFailedCaption);
    engine_.ReportFileEvent("11600102", name.c_str(), "用户点击安装按钮，但是找不到安装程序，安装失败");
    Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
    // The user may put the file back and try again.
    state_ = previous;
    return;
  }
  const int result = launcher_ ? launcher_->StartInstaller(path, records_.saveFolder) : 0;
  state_ = previous;
  if (!LaunchSucceeded(result)) {
    const std::string text = std::string("安装程序无法正常打开，原因：") +
                             (verified ? "本次安装前通过了校验" : "本次安装前没有校验") + LaunchFailureReason(result);
    engine_.ShowMessage("安装程序无法正常打开", kInstallFailedCaption);
    Log(text.c_str());
    // The report is best effort: one that fails is logged, and the user still has the message.
    try {
      engine_.ReportFileEvent("11600101", name.c_str(), text.c_str());
    } catch (const std::exception&) {
      LogPrintf(kReportLogChannel, kReportLogChannel, "DC failed");
    }
    return;
  }
  Log("开始安装] [用户点击安装按钮");
  installerStarted_ = true;
}

bool CDownloadController::OpenExpiryPage(const std::string& url) {
  // The address comes from a server: nothing but a web page is opened from it.
  const bool web = url.starts_with("http://") || url.starts_with("https://");
  return web && launcher_ && launcher_->OpenWebAddress(url);
}

int CDownloadController::GetVerifyProgress() const {
  uint64_t sum = 0, acc = 0;
  const int current = CurrentFile();
  const int progress = FileVerifyProgress();
  for (int i = 0; i < kFileCount; ++i) {
    const uint64_t weight = package_.rows[i].size;
    sum += weight;
    if (i < current || (i == current && progress > 9999)) {
      acc += weight * 10000;
    } else if (i == current) {
      acc += weight * static_cast<uint64_t>(progress);
    }
  }
  return sum == 0 ? 0 : static_cast<int>(acc / sum);
}

bool CDownloadController::RestartForRepair(int i) {
  if (records_.tasks[i]) {
    int result = 0;
    engine_.StopDownloadTasks(&records_.tasks[i], 1, false, &result);
  }
  records_.done[i] = 0;
  records_.reloadFailed = false;
  records_.RecoverTask(i, true);
  return !records_.reloadFailed && records_.tasks[i];
}

IVerificationTarget::RepairStatus CDownloadController::PollRepair(int i, int* progress, uint32_t* speed) {
  *progress = 0;
  *speed = 0;
  const TaskFigures figures = Query(i);
  if (!figures.answers) return IVerificationTarget::RepairStatus::kRunning;
  if (figures.progress.progress >= 10000) {
    records_.done[i] = 1;
    return IVerificationTarget::RepairStatus::kComplete;
  }
  switch (figures.progress.status) {
    case kTaskStatusDiskFull:
    case kTaskStatusTorrentUnreadable:
    case kTaskStatusNoSources:
    case kTaskStatusWriteFailed:
      return IVerificationTarget::RepairStatus::kFailed;
    default:
      break;
  }
  *progress = figures.progress.progress;
  *speed = static_cast<uint32_t>(std::max(0, figures.progress.speed));
  return IVerificationTarget::RepairStatus::kRunning;
}

}  // namespace bw::app
