#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/task/EngineRecords.h"
#include "engine/frame/QThread.h"

namespace bw {

// One line of a task's source list with its mark.
struct TaskSource {
  std::string text;
  int32_t mark;
};

constexpr int32_t kSourceIdle = 0;
constexpr int32_t kSourceTorrent = 1;  // a BT task's first line, naming its torrent

// The figures of a task's published status block that GetTaskProgress reports.
struct TaskStatusView {
  std::string name;
  int32_t status = 0;
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t httpBytes = 0;
  uint64_t p2pBytes = 0;
  int32_t speed = 0;
  int32_t remaining = 0;
};

// What the entry points need of a download task. The task registers itself (TaskRegistry) when
// constructed and unregisters when destroyed; its destructor stops its thread. The lock inherited
// from QThread is the task lock. The description below is filled from TaskParams by Describe.
class TaskInterface : public QThread {
 public:
  // 0, or -107 when the thread is already running or does not start.
  virtual int StartDownload() = 0;
  // Reloads the task info file, then starts like StartDownload.
  virtual int ContinueDownload() = 0;
  virtual int ResumeDownload() = 0;
  // Stops the thread and waits; 0, or -107 when it could not.
  virtual int StopDownload() = 0;
  // Gives busy source entries their idle marks back.
  virtual void ReturnSourcesToIdle() = 0;
  // Clears transient state; (1, 1) clears all of it.
  virtual void Reset(int full, int flag) = 0;
  // direction is 1 (download) or 0 (upload).
  virtual int SetSpeedLimit(int direction, int kBps) = 0;
  virtual int SetPeerLimits(int maxSourceConnections, int maxPeerConnections) = 0;

  // Fills the record as the task's published block stands, never from the working block.
  int GetProgress(TaskProgress* out);
  // *out = 1 when the published figures show the content complete.
  int IsComplete(int* out);
  // Copies min(size, bitmap bytes) of the piece bitmap; returns the number of pieces it covers.
  int CopyPieceBitmap(void* buf, int size);
  int PieceBitmapBytes();
  // urls and hosts are split at line breaks and appended to the mirror lists.
  void AddMirrors(const char* urls, const char* hosts);
  void ClearMirrors();

  // Takes the download description: sources, paths, switches, content identifier, type name.
  // storeFlag keeps kTaskFlagStored (a new download does, a recovered one does not).
  void Describe(const TaskParams& params, bool storeFlag);
  // Whether this new task repeats other: same full target path, same content identifier, or
  // most of its sources. Takes other's lock.
  bool Duplicates(TaskInterface& other);

  const std::string& TargetFile() const { return targetFile; }
  const char* TypeName() const { return typeName; }

 protected:
  // Called under the task lock.
  virtual void ReadPublished(TaskStatusView& view) = 0;
  virtual std::span<const uint8_t> PieceBitmap() = 0;
  virtual int PieceCount() = 0;

  std::vector<TaskSource> sources;
  std::vector<std::string> mirrors;
  std::vector<std::string> mirrorHosts;
  bool mirrorsChanged = false;
  std::string contentId;
  std::string infoPath;
  std::string pendingBlockPath;
  std::string saveFolder;
  std::string targetFile;
  bool p2sp = false;
  bool bt = false;
  bool fullPath = false;
  bool pieceMapOption = false;
  bool storedFlag = false;
  const char* typeName = "HTTP Task";
};

}  // namespace bw
