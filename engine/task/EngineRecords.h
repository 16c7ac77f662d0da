#pragma once
// The records that cross the engine interface, its result codes and the task status codes.
#include <cstdint>

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
constexpr int kTaskStatusCertificateRefused = 20230;  // an https source's certificate did not verify

}  // namespace bw
