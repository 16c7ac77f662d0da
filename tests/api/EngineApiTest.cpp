#include "engine/api/EngineApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/AsyncMessage.h"
#include "engine/api/TaskFactory.h"
#include "engine/frame/EngineServices.h"
#include "engine/task/TaskRegistry.h"
#include "tests/task/LoopingTask.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

using test::LoopingTask;
using test::TempDir;

class EngineApiTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEngine("/tmp"), kEngineOk);
    SetTaskFactory([]() -> TaskInterface* { return new LoopingTask; });
  }
  void TearDown() override {
    EXPECT_EQ(UninitEngine(), kEngineOk);
    SetTaskFactory(nullptr);
  }

  // Creates a running task; its handle is the LoopingTask.
  LoopingTask* Create(const char* sources, uint32_t flags = 0, const char* target = "/d/") {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.sources = sources;
    params.flags = flags;
    std::strcpy(params.target, target);
    if (CreateDownloadTask(&params) != kEngineOk) return nullptr;
    return static_cast<LoopingTask*>(static_cast<TaskInterface*>(params.handle));
  }
};

TEST_F(EngineApiTest, BuildFailuresReturnTheirCodes) {
  EXPECT_EQ(CreateDownloadTask(nullptr), kEngineInvalidArgument);
  EXPECT_EQ(RecoverDownloadTask(nullptr, true), kEngineInvalidArgument);
  SetTaskFactory([]() -> TaskInterface* { return nullptr; });
  TaskParams params{};
  EXPECT_EQ(CreateDownloadTask(&params), kEngineOutOfMemory);
  EXPECT_EQ(params.handle, nullptr);
}

TEST_F(EngineApiTest, UnknownHandleIsRejectedByEveryTaskCall) {
  int notATask = 0;
  TaskHandle h = &notATask;
  TaskProgress progress{};
  int complete = 77;
  char bits[4];
  EXPECT_EQ(StopDownloadTask(h, true), kEngineUnknownTask);
  EXPECT_EQ(ResumeDownloadTask(h), kEngineUnknownTask);
  EXPECT_EQ(GetTaskProgress(h, &progress), kEngineUnknownTask);
  EXPECT_EQ(IsTaskComplete(h, &complete), kEngineUnknownTask);
  EXPECT_EQ(complete, 77);
  EXPECT_EQ(SetTaskSpeedLimit(h, 1, 10), kEngineUnknownTask);
  EXPECT_EQ(SetTaskPeerLimits(h, 1, 1), kEngineUnknownTask);
  EXPECT_EQ(AddTaskMirror(h, "http://m", "m"), kEngineUnknownTask);
  EXPECT_EQ(ClearTaskMirrors(h), kEngineUnknownTask);
  EXPECT_EQ(GetTaskPieceBitmap(h, bits, sizeof bits), kEngineFailed);
  EXPECT_EQ(GetTaskPieceBitmapSize(h), kEngineFailed);
  EXPECT_EQ(GetTaskPieceBitmapSize(nullptr), kEngineFailed);
}

TEST_F(EngineApiTest, ThrowingTaskOperationYields107AndReleasesTheEngineLock) {
  LoopingTask* task = Create("http://a/f");
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(SetTaskPeerLimits(task, 4, 50), kEngineOperationFailed);
  // Another thread can still get through: the lock was released on the exception path.
  auto other = std::async(std::launch::async, [task] { return ClearTaskMirrors(task); });
  EXPECT_EQ(other.get(), kEngineOk);
}

TEST_F(EngineApiTest, CreateStartsTheTaskAndStopPausesIt) {
  CreateEngineLog();
  testing::internal::CaptureStderr();
  LoopingTask* task = Create("  http://a/f \n", kTaskFlagFullPath, "/d/setup.exe");
  const std::string logged = testing::internal::GetCapturedStderr();
  DeleteEngineLog();
  ASSERT_NE(task, nullptr);
  EXPECT_NE(logged.find("] [Create HTTP Task, Download, ID : " + std::to_string(reinterpret_cast<uintptr_t>(task)) +
                        "] [Target File : (/d/setup.exe) ]\n"),
            std::string::npos)
      << logged;
  EXPECT_TRUE(task->IsRunning());
  EXPECT_EQ(task->sources.size(), 1u);
  EXPECT_EQ(ResumeDownloadTask(task), kEngineOperationFailed) << "already running";

  EXPECT_EQ(StopDownloadTask(task, false), kEngineOk);
  EXPECT_FALSE(task->IsRunning());
  EXPECT_EQ(task->returnedToIdle, 1);
  EXPECT_TRUE(task->resets.empty());

  EXPECT_EQ(ResumeDownloadTask(task), kEngineOk);
  EXPECT_TRUE(task->IsRunning());
  EXPECT_EQ(StopDownloadTask(task, true), kEngineOk);
  EXPECT_EQ(task->resets, (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST_F(EngineApiTest, StopDownloadTasksStopsSeveralInParallel) {
  std::vector<LoopingTask*> tasks;
  for (const char* source : {"http://a", "http://b", "http://c"}) tasks.push_back(Create(source));
  int notATask = 0;
  TaskHandle handles[] = {tasks[0], tasks[1], &notATask, tasks[2]};
  int results[4] = {9, 9, 9, 9};
  EXPECT_EQ(StopDownloadTasks(handles, 4, true, results), kEngineOk);
  EXPECT_EQ(std::vector<int>(results, results + 4), (std::vector<int>{0, 0, kEngineUnknownTask, 0}));
  for (LoopingTask* task : tasks) {
    EXPECT_FALSE(task->IsRunning());
    EXPECT_EQ(task->returnedToIdle, 1);
    EXPECT_EQ(task->resets, (std::vector<std::pair<int, int>>{{1, 1}}));
  }
  // Stopped tasks, and no results array of the caller's.
  EXPECT_EQ(StopDownloadTasks(handles, 4, false, nullptr), kEngineOk);
  EXPECT_EQ(tasks[0]->returnedToIdle, 2);
  EXPECT_EQ(StopDownloadTasks(nullptr, 2, false, nullptr), kEngineInvalidArgument);
}

TEST_F(EngineApiTest, DuplicateTargetIsRefusedUnlessRecoveryIsForced) {
  LoopingTask* first = Create("http://a/f", kTaskFlagFullPath, "/d/setup.exe");
  ASSERT_NE(first, nullptr);
  const int before = LoopingTask::destroyed;

  TaskParams again;
  std::memset(&again, 0, sizeof again);
  again.sources = "http://other/f";
  again.flags = kTaskFlagFullPath;
  std::strcpy(again.target, "/d/setup.exe");
  EXPECT_EQ(CreateDownloadTask(&again), kEngineDuplicateTask);
  EXPECT_EQ(LoopingTask::destroyed, before + 1) << "the new task is destroyed";
  EXPECT_EQ(again.handle, nullptr);
  EXPECT_EQ(RecoverDownloadTask(&again, false), kEngineDuplicateTask);
  EXPECT_TRUE(first->IsRunning());
  EXPECT_EQ(TaskRegistry::Snapshot().size(), 1u);

  ASSERT_EQ(RecoverDownloadTask(&again, true), kEngineOk);
  auto* recovered = static_cast<LoopingTask*>(static_cast<TaskInterface*>(again.handle));
  EXPECT_EQ(recovered->continued, 1);
  EXPECT_TRUE(recovered->IsRunning());
  EXPECT_EQ(TaskRegistry::Snapshot().size(), 2u);
}

TEST_F(EngineApiTest, LimitsReachTheTaskOnlyWithAValidDirection) {
  LoopingTask* task = Create("http://a/f");
  EXPECT_EQ(SetTaskSpeedLimit(task, 2, 100), kEngineInvalidArgument);
  EXPECT_EQ(SetTaskSpeedLimit(task, -1, 100), kEngineInvalidArgument);
  EXPECT_TRUE(task->limits.empty());
  EXPECT_EQ(SetTaskSpeedLimit(task, 1, 32767), kEngineOk);
  EXPECT_EQ(SetTaskSpeedLimit(task, 0, 5), kEngineOk);
  EXPECT_EQ(task->limits, (std::vector<std::pair<int, int>>{{1, 32767}, {0, 5}}));
}

TEST_F(EngineApiTest, ProgressAndCompletionThroughTheEntryPoints) {
  LoopingTask* task = Create("http://a/f");
  {
    QScopedLock guard(task->lock);
    task->published = {"f", 0, 2048, 2048, 0, 0, 0, 0};
  }
  TaskProgress progress;
  ASSERT_EQ(GetTaskProgress(task, &progress), kEngineOk);
  EXPECT_EQ(progress.status, kTaskStatusComplete);
  int complete = 0;
  ASSERT_EQ(IsTaskComplete(task, &complete), kEngineOk);
  EXPECT_EQ(complete, 1);
}

TEST_F(EngineApiTest, PieceBitmapIsCopiedWithinTheBuffer) {
  LoopingTask* task = Create("http://a/f");
  {
    QScopedLock guard(task->lock);
    task->bitmap = {0xff, 0xf0, 0x80};
    task->pieces = 20;
  }
  EXPECT_EQ(GetTaskPieceBitmapSize(task), 3);
  unsigned char buf[4] = {0, 0, 0, 0x11};
  EXPECT_EQ(GetTaskPieceBitmap(task, buf, 2), 20);
  EXPECT_EQ(buf[0], 0xff);
  EXPECT_EQ(buf[1], 0xf0);
  EXPECT_EQ(buf[2], 0) << "nothing beyond size";
  EXPECT_EQ(GetTaskPieceBitmap(task, buf, 4), 20);
  EXPECT_EQ(buf[3], 0x11) << "nothing beyond the bitmap";
  EXPECT_EQ(GetTaskPieceBitmap(task, nullptr, 4), 0);
  EXPECT_EQ(GetTaskPieceBitmap(task, buf, 0), 0);
}

std::vector<int> stopped;
void StopFirstService() { stopped.push_back(1); }
void StopSecondService() { stopped.push_back(2); }

TEST_F(EngineApiTest, UninitDestroysEveryTaskThenStopsServices) {
  std::vector<LoopingTask*> tasks = {Create("http://a"), Create("http://b")};
  EXPECT_FALSE(TaskRegistry::Add(nullptr));
  EXPECT_FALSE(TaskRegistry::Add(tasks[0])) << "listed once";
  stopped.clear();
  AddEngineService(StopFirstService);
  AddEngineService(StopSecondService);
  AddEngineService(StopFirstService);
  const int before = LoopingTask::destroyed;
  ASSERT_EQ(UninitEngine(), kEngineOk);
  EXPECT_EQ(LoopingTask::destroyed, before + 2);
  EXPECT_TRUE(TaskRegistry::IsEmpty());
  EXPECT_EQ(stopped, (std::vector<int>{2, 1}));
  EXPECT_EQ(UninitEngine(), kEngineOk) << "not initialised any more";
  ASSERT_EQ(InitEngine(nullptr), kEngineOk);
}

TEST(EngineFiles, SizeOnDiskFallsBackToTheInProgressFile) {
  TempDir dir;
  const std::string data(64 * 1024, 'd');
  std::ofstream(dir.Path("setup.exe.bwtmp"), std::ios::binary) << data;
  std::ofstream(dir.Path("done.cab"), std::ios::binary) << data;
  EXPECT_GE(GetFileSizeOnDisk(dir.Path("setup.exe").c_str()), 64 * 1024);
  EXPECT_GE(GetFileSizeOnDisk(dir.Path("done.cab").c_str()), 64 * 1024);
  EXPECT_EQ(GetFileSizeOnDisk(dir.Path("missing.cab").c_str()), 0);
  EXPECT_EQ(GetFileSizeOnDisk(dir.Path("no/such/folder/f").c_str()), 0);
  EXPECT_EQ(GetFileSizeOnDisk(nullptr), -1);
}

TEST(EngineFiles, FreeSpaceForAbsolutePathsOnly) {
  TempDir dir;
  EXPECT_GT(GetDiskFreeBytes(dir.Path().c_str()), 0u);
  EXPECT_GT(GetDiskFreeBytes(dir.Path("not/yet/created").c_str()), 0u);
  EXPECT_EQ(GetDiskFreeBytes("relative/path"), 0u);
  EXPECT_EQ(GetDiskFreeBytes(""), 0u);
  EXPECT_EQ(GetDiskFreeBytes(nullptr), 0u);
}

// The hook stands in for a message box that stays open until the test closes it.
struct OpenBox {
  std::mutex guard;
  std::string text, caption;
  unsigned type = 0;
  std::promise<void> shown;
  std::promise<void> close;
  std::shared_future<void> closed = close.get_future().share();
  std::atomic<bool> left{false};
};
OpenBox* openBox = nullptr;

void HoldBoxOpen(void*, const char* text, const char* caption, unsigned type) {
  OpenBox& box = *openBox;
  {
    std::lock_guard<std::mutex> hold(box.guard);
    box.text = text;
    box.caption = caption;
    box.type = type;
  }
  box.shown.set_value();
  box.closed.wait();
  box.left = true;
}

TEST(ShowMessageAsync, ReturnsWhileTheBoxStaysOpenAndOwnsItsTexts) {
  OpenBox box;
  openBox = &box;
  std::future<void> shown = box.shown.get_future();
  SetMessageBoxHook(HoldBoxOpen);
  SetReportingIdentifier("ID42");
  std::string text = "磁盘空间不足";
  std::string caption = "Tanwyn下载器";
  EXPECT_EQ(ShowMessageAsync(nullptr, text.c_str(), caption.c_str(), 0x30), 1);  // within its 2 s bound
  text.assign(text.size(), '?');  // the caller's strings may go now
  caption.assign(caption.size(), '?');
  shown.wait();
  {
    std::lock_guard<std::mutex> hold(box.guard);
    EXPECT_EQ(box.text, "磁盘空间不足\n（ID42）");
    EXPECT_EQ(box.caption, "Tanwyn下载器");
    EXPECT_EQ(box.type, 0x30u);
  }
  box.close.set_value();
  while (!box.left) platform::SleepMs(1);
  SetMessageBoxHook(nullptr);
  SetReportingIdentifier("");
  // Without a hook the text goes to the log; the call still returns.
  EXPECT_EQ(ShowMessageAsync(nullptr, "no window", nullptr, 0), 1);
}

}  // namespace
}  // namespace bw
