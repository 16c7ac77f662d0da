#include "engine/task/TaskRegistry.h"

#include <algorithm>

#include "engine/frame/RegistryLock.h"
#include "engine/task/TaskInterface.h"

namespace bw {
namespace {

struct Registry {
  QTMutex& lock = RegistryLock();
  std::vector<TaskInterface*> tasks;
};

// Never destroyed: the engine is shut down from a process-wide destructor, and task threads may
// still look tasks up while the process exits.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

QTMutex& TaskRegistry::Lock() { return TheRegistry().lock; }

bool TaskRegistry::Add(TaskInterface* task) {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  if (!task || std::find(r.tasks.begin(), r.tasks.end(), task) != r.tasks.end()) return false;
  r.tasks.push_back(task);
  return true;
}

bool TaskRegistry::Remove(const TaskInterface* task) {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  const auto it = std::find(r.tasks.begin(), r.tasks.end(), task);
  if (it == r.tasks.end()) return false;
  r.tasks.erase(it);
  return true;
}

bool TaskRegistry::IsEmpty() {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  return r.tasks.empty();
}

TaskInterface* TaskRegistry::Find(const void* handle) {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  for (TaskInterface* task : r.tasks) {
    if (static_cast<const void*>(task) == handle) return task;
  }
  return nullptr;
}

TaskInterface* TaskRegistry::First() {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  return r.tasks.empty() ? nullptr : r.tasks.front();
}

std::vector<TaskInterface*> TaskRegistry::Snapshot() {
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  return r.tasks;
}

void TaskRegistry::DestroyAll() {
  for (;;) {
    TaskInterface* task = First();
    if (!task) break;
    delete task;
    Remove(task);  // its destructor should have; the loop must not spin on it
  }
  Registry& r = TheRegistry();
  QScopedLock guard(r.lock);
  r.tasks.clear();
}

}  // namespace bw
