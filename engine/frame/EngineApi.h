#pragma once
// The engine's public interface: the records that cross it, its result and status codes, and its
// entry points. Entry points return integer codes and never let an exception out.
#include <cstdint>

#include "engine/frame/EngineLog.h"
#include "reporting/ReportingApi.h"

namespace bw {

// The address of a registered task, opaque to the caller.
using TaskHandle = void*;

constexpr int kTextSize = 4096;

// Describes one download. The caller zeroes it, fills it and passes its address; the engine
// writes only handle.
struct TaskParams {
  int32_t reserved;       // ignored by the engine; the application keeps a mark of its own here
  char contentId[kTextSize];  // the content identifier of a P2SP task
  const char* sources;    // source addresses separated by CR, LF or CR LF
  char target[kTextSize];     // target file with kTaskFlagFullPath, else the folder to save into
  char infoPath[kTextSize];   // the task info file
  uint32_t flags;
  TaskHandle handle;      // out
};

constexpr uint32_t kTaskFlagFullPath = 0x2;
constexpr uint32_t kTaskFlagPieceMapOption = 0x20;
constexpr uint32_t kTaskFlagBT = 0x10000;  // the first source line names the torrent
constexpr uint32_t kTaskFlagStored = 0x100000;  // kept with the task, read by nobody
constexpr uint32_t kTaskFlagP2SP = 0x1000000;  // wins over kTaskFlagBT

// Filled by GetTaskProgress; the engine zeroes it first.
struct TaskProgress {
  char name[kTextSize];
  int32_t progress;   // done bytes × 10000 / total bytes, 0 while the total is unknown
  int32_t status;     // a task status code
  int32_t speed;      // bytes per second
  int32_t remaining;  // estimated seconds to completion
  int32_t totalKiB;
  uint64_t httpBytes;
  uint64_t p2pBytes;
  uint64_t doneBytes;
};

// Entry point results.
constexpr int kEngineOk = 0;
constexpr int kEngineFailed = -1;
constexpr int kEngineInvalidArgument = -101;
constexpr int kEngineSocketsUnavailable = -102;
constexpr int kEngineDuplicateTask = -105;
constexpr int kEngineUnknownTask = -106;
constexpr int kEngineOperationFailed = -107;
constexpr int kEngineOutOfMemory = -109;

// Task status codes (TaskProgress.status).
constexpr int kTaskStatusComplete = 20206;
constexpr int kTaskStatusMetadataTimeout = 20209;
constexpr int kTaskStatusDiskFull = 20210;
constexpr int kTaskStatusTorrentUnreadable = 20211;
constexpr int kTaskStatusNoSources = 20214;
constexpr int kTaskStatusWriteFailed = 20215;
constexpr int kTaskStatusHostUnresolved = 20216;

int InitEngine(const char* workFolder);
int UninitEngine();

int CreateDownloadTask(TaskParams* params);
int RecoverDownloadTask(TaskParams* params, bool force);
int StopDownloadTask(TaskHandle task, bool reset);
// results (count entries) receives 0, -106 or -107 per task; it may be null.
int StopDownloadTasks(TaskHandle tasks[], unsigned count, bool reset, int results[]);
int ResumeDownloadTask(TaskHandle task);
int GetTaskProgress(TaskHandle task, TaskProgress* out);
int IsTaskComplete(TaskHandle task, int* out);
// direction 1: download limit, 0: upload limit, in KiB per second; 0 means unlimited.
int SetTaskSpeedLimit(TaskHandle task, int direction, int kBps);
int SetTaskPeerLimits(TaskHandle task, int maxSourceConnections, int maxPeerConnections);
int GetTaskPieceBitmap(TaskHandle task, void* buf, int size);
int GetTaskPieceBitmapSize(TaskHandle task);
int AddTaskMirror(TaskHandle task, const char* urls, const char* hosts);
int ClearTaskMirrors(TaskHandle task);

int SetListenPort(int port);
int EnableP2P(int enable);
void SetBtHttpDisguise(int enable);

// Free bytes for the caller on the file system of an absolute path (which need not exist yet).
uint64_t GetDiskFreeBytes(const char* path);
// Space a file occupies on disk, or that of its in-progress ".bwtmp" file; 0 when neither exists,
// -1 when it cannot be opened, -2 when it cannot be measured.
int64_t GetFileSizeOnDisk(const char* path);

// Shows a message box on a thread of its own; returns 1 once that thread has taken over, 0 when
// it did not within 2 seconds. The caller's strings may be released as soon as this returns.
int ShowMessageAsync(void* owner, const char* text, const char* caption, unsigned type);
// What shows the box: installed by the application. Without one the text goes to the engine log.
using MessageBoxHook = void (*)(void* owner, const char* text, const char* caption, unsigned type);
void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace bw
