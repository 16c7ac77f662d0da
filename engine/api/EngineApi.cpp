#include "engine/api/EngineApi.h"

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "engine/api/CBrightwillowCore.h"
#include "engine/api/TaskFactory.h"
#include "engine/api/UdpService.h"
#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineServices.h"
#include "engine/net/ProcessIPFilter.h"
#include "engine/net/TlsSession.h"
#include "engine/sources/HostResolution.h"
#include "engine/storage/DataFileSize.h"
#include "engine/net/NetAddress.h"
#include "engine/task/EngineSettings.h"
#include "engine/task/SwarmListener.h"
#include "engine/task/TaskInterface.h"
#include "engine/task/TaskRegistry.h"
#include "platform/DiskSpace.h"
#include "platform/Thread.h"

namespace bw {
namespace {

QTMutex& EngineLock() { return CBrightwillowCore::Instance().engineLock; }

// Under the engine lock: -106 for a handle that is not a registered task, -107 for an exception.
template <class Operation>
int TaskCall(TaskHandle handle, Operation operation) {
  QScopedLock engine(EngineLock());
  try {
    TaskInterface* task = TaskRegistry::Find(handle);
    if (!task) return kEngineUnknownTask;
    return operation(*task);
  } catch (...) {
    return kEngineOperationFailed;
  }
}

// Every other registered task is compared with the new one. Tasks are destroyed only under the
// engine lock, which the caller holds, so the registry lock need not stay held while the test
// takes each task's own lock.
bool IsDuplicate(TaskInterface& task) {
  for (TaskInterface* other : TaskRegistry::Snapshot()) {
    if (other != &task && task.Duplicates(*other)) return true;
  }
  return false;
}

int BuildTask(TaskParams* params, bool recover, bool force) {
  if (!params) return kEngineInvalidArgument;
  TaskInterface* task = nullptr;
  {
    QScopedLock engine(EngineLock());
    try {
      task = NewTask();
    } catch (...) {
      return kEngineOutOfMemory;
    }
    if (!task) return kEngineOutOfMemory;
    try {
      task->Describe(*params, !recover);
      if (!(recover && force) && IsDuplicate(*task)) {
        delete task;
        return kEngineDuplicateTask;
      }
    } catch (...) {
      delete task;
      return kEngineOperationFailed;
    }
    params->handle = task;
    EnsureUdpService();
    const auto id = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(task));
    if (recover) {
      LogPrintf(23, 23, "Recover %s, Download, ID : %lu] [Target File : (%s) ", task->TypeName(), id,
                task->TargetFile().c_str());
    } else {
      LogPrintf(23, 23, "Create %s, Download, ID : %lu] [Target File : (%s) ", task->TypeName(), id,
                task->TargetFile().c_str());
    }
  }
  return TaskCall(task, [recover](TaskInterface& t) { return recover ? t.ContinueDownload() : t.StartDownload(); });
}

}  // namespace

int InitEngine(const char* workFolder) {
  CBrightwillowCore& core = CBrightwillowCore::Instance();
  QScopedLock engine(core.engineLock);
  if (core.initialised) return kEngineOk;
  if (workFolder) core.workFolder.assign(workFolder, strnlen(workFolder, kTextSize - 1));
  SetEventReporter(&ReportEvent);  // the first failed host lookup after a success is reported
  core.initialised = true;
  return kEngineOk;
}

int UninitEngine() {
  CBrightwillowCore& core = CBrightwillowCore::Instance();
  QScopedLock engine(core.engineLock);
  if (!core.initialised) return kEngineOk;
  try {
    TaskRegistry::DestroyAll();
    StopEngineServices();
    StopTimeThread();
    core.initialised = false;
    return kEngineOk;
  } catch (...) {
    return kEngineOperationFailed;
  }
}

int CreateDownloadTask(TaskParams* params) { return BuildTask(params, false, false); }

int RecoverDownloadTask(TaskParams* params, bool force) { return BuildTask(params, true, force); }

int StopDownloadTask(TaskHandle handle, bool reset) {
  return TaskCall(handle, [reset](TaskInterface& task) {
    if (task.StopDownload() != kEngineOk) return kEngineOperationFailed;
    task.ReturnSourcesToIdle();
    if (reset) task.Reset(1, 1);
    return kEngineOk;
  });
}

int StopDownloadTasks(TaskHandle tasks[], unsigned count, bool reset, int results[]) {
  if (count == 0) return kEngineOk;
  if (!tasks) return kEngineInvalidArgument;
  QScopedLock engine(EngineLock());
  std::vector<int> ownResults;
  if (!results) {
    ownResults.resize(count);
    results = ownResults.data();
  }
  std::vector<TaskInterface*> stopping(count, nullptr);
  std::vector<uint32_t> threadIds(count, 0);
  for (unsigned i = 0; i < count; ++i) {
    stopping[i] = TaskRegistry::Find(tasks[i]);
    results[i] = stopping[i] ? kEngineOk : kEngineUnknownTask;
  }
  for (unsigned i = 0; i < count; ++i) {
    if (!stopping[i]) continue;
    try {
      stopping[i]->SignalStop(&threadIds[i]);
    } catch (...) {
      results[i] = kEngineOperationFailed;
      stopping[i] = nullptr;
    }
  }
  for (;;) {
    bool waiting = false;
    for (unsigned i = 0; i < count; ++i) {
      TaskInterface* task = stopping[i];
      if (!task) continue;
      try {
        if (!task->HasEnded(threadIds[i])) {
          waiting = true;
          continue;
        }
        task->ReturnSourcesToIdle();
        if (reset) task->Reset(1, 1);
      } catch (...) {
        results[i] = kEngineOperationFailed;
      }
      stopping[i] = nullptr;
    }
    if (!waiting) break;
    platform::SleepMs(50);
  }
  return kEngineOk;
}

int ResumeDownloadTask(TaskHandle handle) {
  return TaskCall(handle, [](TaskInterface& task) { return task.ResumeDownload(); });
}

int GetTaskProgress(TaskHandle handle, TaskProgress* out) {
  return TaskCall(handle, [out](TaskInterface& task) { return task.GetProgress(out); });
}

int IsTaskComplete(TaskHandle handle, int* out) {
  return TaskCall(handle, [out](TaskInterface& task) { return task.IsComplete(out); });
}

int SetTaskSpeedLimit(TaskHandle handle, int direction, int kBps) {
  if (direction != 0 && direction != 1) return kEngineInvalidArgument;
  return TaskCall(handle, [=](TaskInterface& task) { return task.SetSpeedLimit(direction, kBps); });
}

int SetTaskPeerLimits(TaskHandle handle, int maxSourceConnections, int maxPeerConnections) {
  return TaskCall(handle, [=](TaskInterface& task) {
    return task.SetPeerLimits(maxSourceConnections, maxPeerConnections);
  });
}

int GetTaskPieceBitmap(TaskHandle handle, void* buf, int size) {
  const int result = TaskCall(handle, [=](TaskInterface& task) {
    return buf && size > 0 ? task.CopyPieceBitmap(buf, size) : 0;
  });
  return result == kEngineUnknownTask || result == kEngineOperationFailed ? kEngineFailed : result;
}

int GetTaskPieceBitmapSize(TaskHandle handle) {
  // Checked against the registry like any task call: a stale handle must not be followed.
  const int result = TaskCall(handle, [](TaskInterface& task) { return task.PieceBitmapBytes(); });
  return result < 0 ? kEngineFailed : result;
}

int AddTaskMirror(TaskHandle handle, const char* urls, const char* hosts) {
  return TaskCall(handle, [=](TaskInterface& task) {
    task.AddMirrors(urls, hosts);
    return kEngineOk;
  });
}

int ClearTaskMirrors(TaskHandle handle) {
  return TaskCall(handle, [](TaskInterface& task) {
    task.ClearMirrors();
    return kEngineOk;
  });
}

int SetListenPort(int port) {
  ProcessSettings().listenPort.store(port);
  return kEngineOk;
}

int GetListenPort() { return SwarmListener::Process().Port(); }

int SetLanDiscovery(int port, const char* interfaceAddress) {
  uint32_t ip = 0;
  if (port < 0 || port > 65535) return kEngineInvalidArgument;
  if (interfaceAddress && *interfaceAddress && (!ParseDottedQuad(interfaceAddress, &ip) || ip == 0)) {
    return kEngineInvalidArgument;
  }
  ProcessSettings().lanPort.store(port);
  ProcessSettings().lanInterface.store(ip);
  return kEngineOk;
}

int SetRendezvousServer(const char* host, int port, int localUdpPort) {
  const bool none = !host || !*host;
  if (!none && (port < 1 || port > 65535 || localUdpPort < 0 || localUdpPort > 65535)) {
    return kEngineInvalidArgument;
  }
  ConfigureUdpService(none ? std::string() : std::string(host), port, localUdpPort);
  return kEngineOk;
}

int SetCaFile(const char* path) {
  if (!path) return kEngineInvalidArgument;
  return TlsSession::SetExtraAuthorities(path) ? kEngineOk : kEngineOperationFailed;
}

int LoadIPFilter(const char* path) {
  if (!path) return kEngineInvalidArgument;
  try {
    const int32_t ranges = LoadProcessIPFilter(path);
    return ranges < 0 ? kEngineOperationFailed : ranges;
  } catch (...) {
    return kEngineOutOfMemory;
  }
}

int EnableP2P(int enable) {
  ProcessSettings().p2pEnabled.store(enable != 0);
  return kEngineOk;
}

void SetBtHttpDisguise(int enable) { ProcessSettings().btHttpDisguise.store((enable & 0xFF) != 0); }

uint64_t GetDiskFreeBytes(const char* path) {
  const int64_t bytes = platform::DiskFreeBytes(path);
  return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

int64_t GetFileSizeOnDisk(const char* path) { return DataFileSizeOnDisk(path); }

}  // namespace bw
