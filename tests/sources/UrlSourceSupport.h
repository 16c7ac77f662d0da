#pragma once
#include <fstream>
#include <sstream>
#include <string>

#include "engine/sources/SourceAddress.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"
#include "platform/Thread.h"
#include "tests/sources/FakePeerTask.h"

namespace bw::test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// An identity for an address, parsed as the source list would; the test holds one reference.
struct Source {
  explicit Source(const std::string& address) : id(new TPeerId(address)) { parsed = ParseSourceAddress(*id); }
  ~Source() { id->Release(); }
  TUrlInfo& Url() { return id->UrlInfo(); }
  TPeerId* id;
  bool parsed;
};

// Steps the connected peer as the task's pool would, connecting again after a failed step, until
// `done` holds, the source is finished, or a few seconds have passed. False when a connect is
// refused.
template <typename Done>
bool StepUntil(TPeerObject& peer, FakePeerTask& task, TPeerId* id, Done done) {
  for (int i = 0; i < 5000 && !done(); ++i) {
    if (!peer.DownloadStep()) {
      if (peer.workState == TPeerObject::kFinished) break;
      peer.Reset();
      if (!peer.ConnectTo(id)) return false;
    }
    task.map.FlushPieces();  // verified pieces count as complete once written
    if (!peer.stats.hasData) platform::SleepMs(1);
  }
  return true;
}

// Downloads the whole content and says whether the file on disk is the content.
// connectUnscheduled: the first connect comes before the task can hand out work, as for a task
// that learns its size from this very source.
inline bool Download(TPeerObject& peer, FakePeerTask& task, TPeerId* id, bool connectUnscheduled = false) {
  task.canSchedule = !connectUnscheduled;
  const bool connected = peer.ConnectTo(id);
  task.canSchedule = true;
  if (!connected || !StepUntil(peer, task, id, [&task] { return task.map.IsComplete(); })) return false;
  peer.Reset();
  task.map.CloseFiles(true, true);
  return task.map.IsComplete() && ReadFile(task.dir.path + "data.bin") == task.content;
}

// Steps until a step fails (true) or a few seconds pass (false).
inline bool StepUntilFailure(TPeerObject& peer) {
  for (int i = 0; i < 3000; ++i) {
    if (!peer.DownloadStep()) return true;
    platform::SleepMs(1);
  }
  return false;
}

}  // namespace bw::test
