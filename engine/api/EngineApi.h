#pragma once
// The engine's public interface: the records that cross it, its result and status codes, and its
// entry points. Entry points return integer codes and never let an exception out.
#include <cstdint>

#include "engine/api/LanOption.h"
#include "engine/common/Md5.h"  // the application checks its files with it
#include "engine/frame/EngineLog.h"
#include "engine/task/EngineRecords.h"
#include "reporting/ReportingApi.h"

namespace bw {

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
// The port the listener took (another instance may hold the one set), 0 while nothing listens.
int GetListenPort();
// LAN discovery's UDP port (0 turns it off) and the dotted address of the interface its
// multicast uses (null or empty: the local address). Takes effect when the first task starts.
int SetLanDiscovery(int port, const char* interfaceAddress);
// The rendezvous server through which engines reach each other over the UDP transport, and the
// local UDP port (0: 8000). Without one (an empty host, the default) no UDP server runs and
// nothing is contacted. Takes effect when the next task is created.
int SetRendezvousServer(const char* host, int port, int localUdpPort);
// Reads the IP filter file (lines "FIRST-LAST LEVEL", see CIPFilter) that every task started
// afterwards applies: the number of blocked ranges, or -107 when the file cannot be read.
int LoadIPFilter(const char* path);
int EnableP2P(int enable);
// Trusts the authorities in a PEM file besides the system's store for every https source dialled
// afterwards; -107 when the file holds no certificate, an empty path goes back to the store alone.
int SetCaFile(const char* path);
void SetBtHttpDisguise(int enable);

// Free bytes for the caller on the file system of a path, absolute or relative to the current
// folder (it need not exist yet).
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
