#pragma once
#include "engine/task/TaskInterface.h"

namespace bw {

// How CreateDownloadTask and RecoverDownloadTask build a task object: a TWorkThread unless a
// test installs a factory of its own (null restores the default).
using TaskFactory = TaskInterface* (*)();
void SetTaskFactory(TaskFactory factory);
// A new, registered task. May throw std::bad_alloc.
TaskInterface* NewTask();

}  // namespace bw
