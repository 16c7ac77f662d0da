#include "app/EngineCalls.h"

namespace bw::app {

void EngineCalls::CreateEngineLog(const char* basePath) {
  bw::CreateEngineLog();
  bw::SetEngineLogBasePath(basePath);
}
int EngineCalls::InitEngine(const char* workFolder) { return bw::InitEngine(workFolder); }
int EngineCalls::UninitEngine() { return bw::UninitEngine(); }
int EngineCalls::CreateDownloadTask(TaskParams* params) { return bw::CreateDownloadTask(params); }
int EngineCalls::RecoverDownloadTask(TaskParams* params, bool force) { return bw::RecoverDownloadTask(params, force); }
int EngineCalls::StopDownloadTasks(TaskHandle tasks[], unsigned count, bool reset, int results[]) {
  return bw::StopDownloadTasks(tasks, count, reset, results);
}
int EngineCalls::ResumeDownloadTask(TaskHandle task) { return bw::ResumeDownloadTask(task); }
int EngineCalls::GetTaskProgress(TaskHandle task, TaskProgress* out) { return bw::GetTaskProgress(task, out); }
int EngineCalls::IsTaskComplete(TaskHandle task, int* out) { return bw::IsTaskComplete(task, out); }
int EngineCalls::SetTaskSpeedLimit(TaskHandle task, int direction, int kBps) {
  return bw::SetTaskSpeedLimit(task, direction, kBps);
}
int EngineCalls::SetTaskPeerLimits(TaskHandle task, int maxSourceConnections, int maxPeerConnections) {
  return bw::SetTaskPeerLimits(task, maxSourceConnections, maxPeerConnections);
}
int EngineCalls::AddTaskMirror(TaskHandle task, const char* urls, const char* hosts) {
  return bw::AddTaskMirror(task, urls, hosts);
}
int EngineCalls::ClearTaskMirrors(TaskHandle task) { return bw::ClearTaskMirrors(task); }
int EngineCalls::SetListenPort(int port) { return bw::SetListenPort(port); }
int EngineCalls::EnableP2P(int enable) { return bw::EnableP2P(enable); }
void EngineCalls::SetBtHttpDisguise(int enable) { bw::SetBtHttpDisguise(enable); }
uint64_t EngineCalls::GetDiskFreeBytes(const char* path) { return bw::GetDiskFreeBytes(path); }
int64_t EngineCalls::GetFileSizeOnDisk(const char* path) { return bw::GetFileSizeOnDisk(path); }
void EngineCalls::ShowMessage(const char* text, const char* caption) {
  bw::ShowMessageAsync(ownerWindow_, text, caption, 0);
}

void EngineCalls::StartDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                                  const char* gameVersion, const char* channel) {
  bw::StartDataUpload(configPath, gameId, appVersion, gameVersion, channel);
}
void EngineCalls::ReportDownloadData(const char* code, uint32_t totalSeconds, uint64_t totalBytes, uint64_t averageRate,
                                     const char* progress, uint64_t httpBytes, uint64_t httpRate, uint64_t p2pBytes,
                                     uint64_t p2pRate, const char* message) {
  bw::ReportDownloadData(code, "", "", totalSeconds, totalBytes, averageRate, progress, httpBytes, httpRate, p2pBytes,
                         p2pRate, 0, "", "", message, 0);
}
void EngineCalls::ReportEvent(const char* code, const char* message, int flag) { bw::ReportEvent(code, message, flag); }
void EngineCalls::ReportFileEvent(const char* code, const char* fileName, const char* message) {
  bw::ReportFileEvent(code, fileName, message);
}
void EngineCalls::ShutdownReporting() { bw::ShutdownReporting(); }

}  // namespace bw::app
