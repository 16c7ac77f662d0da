#pragma once
#include <cstddef>
#include <vector>

#include "engine/frame/QTMutex.h"

namespace bw {

class TaskInterface;

// The list of live tasks against which every task handle is checked. Tasks add themselves when
// constructed and remove themselves when destroyed. The registry lock also guards the
// process-wide state that the tasks share; take it after a task's own lock, never before.
class TaskRegistry {
 public:
  static QTMutex& Lock();

  // Appends the task unless it is null or already listed; returns whether it was added.
  static bool Add(TaskInterface* task);
  // Compares addresses only, so a task may be removed after it was destroyed.
  static bool Remove(const TaskInterface* task);
  static bool IsEmpty();
  // The registered task whose address is handle, or null.
  static TaskInterface* Find(const void* handle);
  // The first registered task, or null when there is none.
  static TaskInterface* First();
  static std::vector<TaskInterface*> Snapshot();
  // Deletes every registered task (each stops its thread and leaves the list), then empties it.
  static void DestroyAll();
};

}  // namespace bw
