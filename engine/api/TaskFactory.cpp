#include "engine/api/TaskFactory.h"

#include <atomic>

#include "engine/task/TWorkThread.h"

namespace bw {
namespace {

std::atomic<TaskFactory> factory{nullptr};

}  // namespace

void SetTaskFactory(TaskFactory f) { factory.store(f); }

TaskInterface* NewTask() {
  const TaskFactory f = factory.load();
  return f ? f() : new TWorkThread;
}

}  // namespace bw
