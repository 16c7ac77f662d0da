#pragma once
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineServices.h"
#include "engine/task/TaskRegistry.h"
#include "engine/task/TWorkThread.h"
#include "tests/net/NginxServer.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw::test {

inline bool WaitFor(const std::function<bool()>& done, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// What the engine's shutdown does below its entry points: every task destroyed, the process-wide
// services and the timer thread stopped.
inline void EndTasks() {
  TaskRegistry::DestroyAll();
  StopEngineServices();
  StopTimeThread();
}

// Stops the task's thread and gives its sources their idle marks back, as a pause does.
inline int Stop(TaskInterface* task) {
  const int result = task->StopDownload();
  task->ReturnSourcesToIdle();
  return result;
}

// Tasks made in a folder of their own and ended after each test.
class EngineTest : public testing::Test {
 protected:
  void TearDown() override { EndTasks(); }

  TaskParams Params(const std::string& sources, uint32_t flags, const std::string& target,
                    const std::string& contentId = "") {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    sourceTexts.push_back(sources);
    params.sources = nullptr;
    params.flags = flags;
    std::strncpy(params.target, (dir.path + target).c_str(), kTextSize - 1);
    std::strncpy(params.infoPath, (dir.path + target + ".bwinfo").c_str(), kTextSize - 1);
    std::strncpy(params.contentId, contentId.c_str(), kTextSize - 1);
    params.sources = sourceTexts.back().c_str();
    return params;
  }

  int Create(const std::string& sources, uint32_t flags, const std::string& target,
             const std::string& contentId = "", TWorkThread** task = nullptr) {
    auto* created = new TWorkThread;  // registered: EndTasks destroys it
    created->Describe(Params(sources, flags, target, contentId), true);
    if (task) *task = created;
    return created->StartDownload();
  }

  static int Status(TWorkThread* task) {
    TaskProgress progress;
    EXPECT_EQ(task->GetProgress(&progress), kEngineOk);
    return progress.status;
  }

  static bool Ends(TWorkThread* task, int seconds) {
    return WaitFor([task] { return !task->IsRunning(); }, seconds);
  }

  TempDir dir;
  std::vector<std::string> sourceTexts;
};

constexpr uint32_t kAppFlags = kTaskFlagFullPath | kTaskFlagStored;

// An engine test whose tasks download from a real nginx: skipped where nginx is missing.
class NginxEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    if (!NginxServer::Installed()) GTEST_SKIP() << "nginx is needed (scripts/deps.sh installs it)";
    EngineTest::SetUp();
  }

  // Puts bytes under the name into the folder the mirrors serve, which it returns.
  std::string Publish(const std::string& name, const std::string& bytes) {
    const std::string www = dir.path + "www/";
    std::filesystem::create_directories(www);
    std::ofstream(www + name, std::ios::binary) << bytes;
    return www;
  }

  static bool Completes(TWorkThread* task, int seconds) {
    return WaitFor(
        [task] {
          int complete = 0;
          task->IsComplete(&complete);
          return complete == 1;
        },
        seconds);
  }
};

}  // namespace bw::test
