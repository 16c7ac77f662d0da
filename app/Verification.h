#pragma once
#include <atomic>
#include <chrono>
#include <string>

#include <cstdint>

namespace bw::app {

// What the verification needs of the controller and the engine, so that it can run on a worker
// thread and be tested without either.
class IVerificationTarget {
 public:
  enum class RepairStatus { kRunning, kComplete, kFailed };

  virtual ~IVerificationTarget() = default;
  virtual std::string FilePath(int i) = 0;
  virtual std::string ExpectedMd5(int i) = 0;
  virtual const std::string& FileName(int i) = 0;
  virtual void SetState(int state) = 0;
  // Stops file i's task and recovers it with force so that the engine checks its pieces again;
  // false when it could not be recovered.
  virtual bool RestartForRepair(int i) = 0;
  // progress and speed of the repair when the task answers.
  virtual RepairStatus PollRepair(int i, int* progress, uint32_t* speed) = 0;
  virtual void RecordFingerprint(int i) = 0;
  virtual void ReportFileEvent(const char* code, const std::string& fileName, const std::string& text) = 0;
  virtual void ReportEvent(const char* code) = 0;
  virtual void ShowMessage(const char* text) = 0;
  virtual void Log(const std::string& text) = 0;
};

struct VerificationTiming {
  std::chrono::milliseconds poll{1000};
  // A repair that makes no progress this long has failed.
  std::chrono::milliseconds stallLimit{std::chrono::minutes(5)};
};

// Checks every file of the package against its MD5 digest and repairs one that differs through its
// engine task, up to five times. Run() is the worker's body; the progress fields are read by the
// controller's thread while it runs.
class Verification {
 public:
  enum Result { kAllMatched = 0, kRecoverFailed = -1, kRepairGaveUp = -2, kStopped = -3 };
  static constexpr int kMaxRepairs = 5;

  using Timing = VerificationTiming;

  explicit Verification(IVerificationTarget& target, Timing timing = {}) : target_(target), timing_(timing) {}

  int Run();
  void Stop() { stop_ = true; }

  std::atomic<int> currentFile{0};
  std::atomic<int> verifyProgress{0};
  std::atomic<int> repairProgress{0};
  std::atomic<uint32_t> repairSpeed{0};
  std::atomic<int> mismatchSeen{0};

 private:
  enum class Check { kMatch, kMismatch, kReadError, kStopped };
  Check VerifyFile(int i, std::string* actual);
  // true when the repaired task completed; false when it failed, stalled or the worker stopped.
  bool WaitForRepair(int i);
  bool Sleep();

  IVerificationTarget& target_;
  Timing timing_;
  std::atomic<bool> stop_{false};
};

}  // namespace bw::app
