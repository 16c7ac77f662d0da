#pragma once
#include "app/IEngine.h"

namespace bw::app {

// The application core's calls, made on the engine's entry points.
class EngineCalls : public IEngine {
 public:
  // Message boxes are owned by this window (null without one).
  explicit EngineCalls(void* ownerWindow = nullptr) : ownerWindow_(ownerWindow) {}

  void CreateEngineLog(const char* basePath) override;
  int InitEngine(const char* workFolder) override;
  int UninitEngine() override;
  int CreateDownloadTask(TaskParams* params) override;
  int RecoverDownloadTask(TaskParams* params, bool force) override;
  int StopDownloadTasks(TaskHandle tasks[], unsigned count, bool reset, int results[]) override;
  int ResumeDownloadTask(TaskHandle task) override;
  int GetTaskProgress(TaskHandle task, TaskProgress* out) override;
  int IsTaskComplete(TaskHandle task, int* out) override;
  int SetTaskSpeedLimit(TaskHandle task, int direction, int kBps) override;
  int SetTaskPeerLimits(TaskHandle task, int maxSourceConnections, int maxPeerConnections) override;
  int AddTaskMirror(TaskHandle task, const char* urls, const char* hosts) override;
  int ClearTaskMirrors(TaskHandle task) override;
  int SetListenPort(int port) override;
  int EnableP2P(int enable) override;
  void SetBtHttpDisguise(int enable) override;
  uint64_t GetDiskFreeBytes(const char* path) override;
  int64_t GetFileSizeOnDisk(const char* path) override;
  using IEngine::ShowMessage;
  void ShowMessage(const char* text, const char* caption) override;

  void StartDataUpload(const char* configPath, const char* gameId, const char* appVersion, const char* gameVersion,
                       const char* channel) override;
  void ReportDownloadData(const char* code, uint32_t totalSeconds, uint64_t totalBytes, uint64_t averageRate,
                          const char* progress, uint64_t httpBytes, uint64_t httpRate, uint64_t p2pBytes,
                          uint64_t p2pRate, const char* message) override;
  void ReportEvent(const char* code, const char* message, int flag) override;
  void ReportFileEvent(const char* code, const char* fileName, const char* message) override;
  void ShutdownReporting() override;

 private:
  void* ownerWindow_;
};

}  // namespace bw::app
