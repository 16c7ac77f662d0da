#pragma once
#include <cstdint>

#include "app/AppTexts.h"
#include "engine/api/EngineApi.h"

namespace bw::app {

// The engine and reporting entry points the application core uses. The program passes
// EngineCalls, which calls the engine; tests pass a fake to drive the controller without tasks.
class IEngine {
 public:
  virtual ~IEngine() = default;

  virtual void CreateEngineLog(const char* basePath) = 0;
  virtual int InitEngine(const char* workFolder) = 0;
  virtual int UninitEngine() = 0;
  virtual int CreateDownloadTask(TaskParams* params) = 0;
  virtual int RecoverDownloadTask(TaskParams* params, bool force) = 0;
  virtual int StopDownloadTasks(TaskHandle tasks[], unsigned count, bool reset, int results[]) = 0;
  virtual int ResumeDownloadTask(TaskHandle task) = 0;
  virtual int GetTaskProgress(TaskHandle task, TaskProgress* out) = 0;
  virtual int IsTaskComplete(TaskHandle task, int* out) = 0;
  virtual int SetTaskSpeedLimit(TaskHandle task, int direction, int kBps) = 0;
  virtual int SetTaskPeerLimits(TaskHandle task, int maxSourceConnections, int maxPeerConnections) = 0;
  virtual int AddTaskMirror(TaskHandle task, const char* urls, const char* hosts) = 0;
  virtual int ClearTaskMirrors(TaskHandle task) = 0;
  virtual int SetListenPort(int port) = 0;
  virtual int EnableP2P(int enable) = 0;
  virtual void SetBtHttpDisguise(int enable) = 0;
  virtual uint64_t GetDiskFreeBytes(const char* path) = 0;
  virtual int64_t GetFileSizeOnDisk(const char* path) = 0;
  // A message box shown without waiting for the user.
  virtual void ShowMessage(const char* text, const char* caption) = 0;
  void ShowMessage(const char* text) { ShowMessage(text, kCaption); }

  virtual void StartDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                               const char* gameVersion, const char* channel) = 0;
  virtual void ReportDownloadData(const char* code, uint32_t totalSeconds, uint64_t totalBytes, uint64_t averageRate,
                                  const char* progress, uint64_t httpBytes, uint64_t httpRate, uint64_t p2pBytes,
                                  uint64_t p2pRate, const char* message) = 0;
  virtual void ReportEvent(const char* code, const char* message, int flag) = 0;
  virtual void ReportFileEvent(const char* code, const char* fileName, const char* message) = 0;
  virtual void ShutdownReporting() = 0;
};

}  // namespace bw::app
