#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/IControllerHost.h"
#include "app/IEngine.h"
#include "app/ILauncher.h"
#include "app/ListenPortMapping.h"
#include "app/ResourceList.h"
#include "app/TaskRecords.h"
#include "app/Verification.h"
#include "app/package/Package.h"
#include "platform/VolumeAllocation.h"

namespace bw::app {

// The controller states; the names are those of the log.
enum ControllerState : int {
  kStateBack = 0,            // waiting to start, but the chosen folder lacks disk space
  kStateReady = 1,           // waiting for the user to start
  kStatePreparing = 3,       // tasks created, no data flowing yet
  kStateDownloading = 4,     // data flowing
  kStatePause = 5,           // tasks stopped by the user or by a disk-space shortage
  kStateResume = 6,          // tasks restarted after a pause
  kStateFailed = 7,          // a task could not write to disk, or repair gave up
  kStateFinished = 8,        // every file complete
  kStateRetry = 9,           // never entered
  kStateMd5Checking = 10,    // verification running
  kStateCheckRecover = 11,   // a file is being repaired
  kStateCheckFinished = 12,  // every file verified
  kStateInstalling = 13,     // the installer is being launched
  kStateRecover = 15,        // restored at start-up; partial downloads continue
  kStateReload = 16,         // restored with files to check, or preparing with progress present
  kStateUnknownExit = 17,    // the window went without a known reason
};

// How the files of a download take their space. With preallocation the whole size is reserved
// when a file is opened; with sparse files space is taken as data arrives, so the controller
// watches the free space while it downloads.
enum class AllocationMode { kPreallocate, kSparse };

// "" for the states without a log name.
const char* StateName(int state);

// The application's brain: owns the five download tasks of the package, drives them through the
// engine, keeps the state that the window shows, polls the tasks, spreads the speed limit and the
// connection budget, watches the free space, reacts to the engine's error statuses and reports
// events and statistics.
//
// Not thread-safe by itself: every call, the timers' included, is made on one thread
// (ControllerThread), and workers hand their results back to that thread.
class CDownloadController {
 public:
  CDownloadController(IEngine& engine, IControllerHost& host, const Package& package);

  // The listen port that asks Initialize to choose a free port and have the gateway forward it.
  static constexpr int kMapListenPort = -1;

  // listenPort: the port for incoming peers, 0 for the engine's default, or kMapListenPort. 1 when
  // tasks were recovered (states 8, 15, 16), 0 otherwise, -1 without a package, -2 when the
  // statistics configuration could not be unpacked.
  int Initialize(int listenPort);
  // The main button: start, pause, continue or install, by state.
  void OnMainAction();
  int EvaluateState();  // every 100 ms
  void PollTasks();     // every second, except in states 8 and 12
  int GetOverallProgress();

  // The window's texts, asked every second.
  std::string GetSpeedText();
  std::string GetRowStatusText(int i);
  std::string GetSizeText();
  // Over all five files while verifying, in hundredths of a percent.
  int GetVerifyProgress() const;
  int GetMismatchSeen() const { return verification_ ? verification_->mismatchSeen.load() : 0; }
  int GetRepairProgress() const { return verification_ ? verification_->repairProgress.load() : 0; }
  uint32_t GetRepairSpeed() const { return verification_ ? verification_->repairSpeed.load() : 0; }

  // Checks every file by MD5 on a worker and repairs what differs; installAfter: the installer
  // follows a passed check.
  void StartVerification(bool installAfter);
  // The main action once every file is there: asks whether to check the files first.
  void PromptInstall();
  // Starts the installer of the package from the save folder; verified: the check passed before.
  void LaunchInstaller(bool verified);
  bool InstallerStarted() const { return installerStarted_; }
  // The question of the install prompt; true for "yes". Without one the files are checked.
  using Question = std::function<bool(const char* text)>;
  void SetQuestion(Question question) { question_ = std::move(question); }
  // The program passes a ProgramLauncher, tests a stand-in; without one nothing is started.
  void SetLauncher(ILauncher* launcher) { launcher_ = launcher; }
  // Shows the page an expired downloader points to, when it is a web address.
  bool OpenExpiryPage(const std::string& url);
  // The repair's steps, called on this thread for the verification worker.
  void SetVerifyState(int state) { state_ = state; }
  bool RestartForRepair(int i);
  IVerificationTarget::RepairStatus PollRepair(int i, int* progress, uint32_t* speed);
  void RecordFingerprint(int i) { records_.RecordFingerprint(i); }
  // The rate of file i's task, 0 when it does not answer.
  uint32_t GetFileSpeed(int i);

  int SetSaveFolder(const std::string& folder);
  const std::string& GetSaveFolder() const { return records_.saveFolder; }
  std::string GetInstallerPath() const { return records_.saveFolder + "/" + records_.FileName(0); }
  const char* GetGameVersionText() const;
  void SetSpeedLimit(int kBps) { ApplySpeedLimit(kBps); }
  void SetAutoShutdown(bool on) { autoShutdown_ = on; }
  void SetP2PEnabled(bool on);
  bool P2PEnabled() const { return p2pSwitch_ != 0; }
  void SaveCloseSelection(int choice);
  int LoadCloseSelection() const;
  void MarkUserExit() { userExit_ = true; }
  void ClearUserExit() { userExit_ = false; }

  // At start-up: true when the resource list says this downloader expired.
  bool CheckExpiry(std::string* message, std::string* url);
  // At the end, first: asks the workers (the MD5 check, the mirror refresh) to stop soon; the
  // caller waits for them before Shutdown.
  void StopWorkers();
  // At the end: records why the program ends (once), ends the engine and its tasks, then the
  // statistics upload, which sends that record; the gateway forwards the port no more.
  void Shutdown();

  int State() const { return state_; }
  bool DiskSpaceLow() const { return diskSpaceLow_; }
  const std::string& FileName(int i) const { return records_.FileName(i); }
  const TaskRecords& Records() const { return records_; }

  using AllocationProbe = std::function<std::optional<platform::VolumeAllocation>(const std::string&)>;
  // Powers the machine off after the given seconds; false when refused. The program passes
  // platform::ScheduleDelayedPowerOff, tests a stand-in.
  using PowerOff = std::function<bool(int delaySeconds)>;
  void SetPowerOff(PowerOff powerOff) { powerOff_ = std::move(powerOff); }

  // Tests choose the volume's answer.
  void SetAllocationProbe(AllocationProbe probe) { allocationProbe_ = std::move(probe); }

 private:
  // The first task the engine refused (a duplicate of another, a thread that did not start).
  struct Refusal {
    int file = -1;
    int result = kEngineOk;
    void Note(int i, int engineResult) {
      if (engineResult == kEngineOk || file >= 0) return;
      file = i;
      result = engineResult;
    }
  };
  struct TaskFigures {
    bool answers = false;
    TaskProgress progress;
  };

  bool IsActive() const;
  TaskFigures Query(int i);
  int ActiveCount();
  void CompletionCheck(int i);
  void OnEngineStatus(int status);
  uint64_t GetDownloadedBytes();
  void BeginDownload();
  void PauseDownload();
  void ContinuePausedDownload();
  void StopAll();
  // Without that task the download would wait forever for its file: every task stops (paused),
  // and the user is told and may continue, which asks for the missing task again.
  void StopOnRefusedTask(const Refusal& refusal, const char* where, const char* report);
  bool DiskTestFails();
  void RunEntryActions(int previousState);
  void ApplySpeedLimit(int kBps);
  void ApplyPeerLimits(int peers, int connecting);
  void SendStatistics(const char* code, const char* message = "");
  void RecordExit();
  void CountMirrorRefresh();
  void StartMirrorRefresh();
  int RefreshMirrors(const std::optional<ResourceList>& list);
  void RecoverTasks();
  void ChooseAllocationMode();
  void Log(const char* text);
  void ScheduleShutdown();
  int CurrentFile() const { return verification_ ? verification_->currentFile.load() : 0; }
  int FileVerifyProgress() const { return verification_ ? verification_->verifyProgress.load() : 0; }

  IEngine& engine_;
  IControllerHost& host_;
  const Package& package_;
  TaskRecords records_;
  AllocationProbe allocationProbe_;
  PowerOff powerOff_;
  Question question_;
  ILauncher* launcher_ = nullptr;
  ListenPortMapping portMapping_;

  int state_ = kStateReady;
  std::shared_ptr<Verification> verification_;
  bool installAfterCheck_ = false;
  bool diskSpaceLow_ = false;
  bool userExit_ = false;
  bool installerStarted_ = false;
  bool tasksStarted_ = false;
  bool autoShutdown_ = false;
  int overallProgress_ = 0;
  uint64_t downloadedBytes_ = 0;
  uint32_t totalSpeed_ = 0;
  uint32_t displayedSpeed_ = 0;
  int speedLimit_ = 0;
  int peerBudget_ = 35;
  int connectingBudget_ = 105;
  uint32_t runSeconds_ = 0;
  uint32_t totalSeconds_ = 0;
  uint64_t requiredSpace_ = 0;
  AllocationMode allocationMode_ = AllocationMode::kPreallocate;
  int p2pSwitch_ = 1;

  // Each task's last status seen: one shared value would repeat the reactions while tasks differ.
  std::array<int, kFileCount> lastSeenStatus_{};
  int lastHandledStatus_ = 0;
  std::pair<int, bool> lastLogged_{-1, false};
  std::pair<int, int> lastPeerLimits_{-1, -1};
  uint32_t mirrorCounter_ = 0;
  uint32_t statisticsCounter_ = 0;
  bool refreshRunning_ = false;
  bool exitRecorded_ = false;
  // Shared with the workers, which may outlive a call of this thread but never the controller.
  std::shared_ptr<std::atomic<bool>> stopWorkers_ = std::make_shared<std::atomic<bool>>(false);
  std::array<uint64_t, kFileCount> cachedHttpBytes_{};
  std::array<uint64_t, kFileCount> cachedP2pBytes_{};
};

}  // namespace bw::app
