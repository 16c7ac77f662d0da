#pragma once
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/frame/EngineApi.h"
#include "engine/task/TWorkThread.h"
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

// The engine initialised around each test, in a folder of its own.
class EngineTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(InitEngine(dir.path.c_str()), kEngineOk); }
  void TearDown() override { EXPECT_EQ(UninitEngine(), kEngineOk); }

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
    TaskParams params = Params(sources, flags, target, contentId);
    const int result = CreateDownloadTask(&params);
    if (task) *task = static_cast<TWorkThread*>(static_cast<TaskInterface*>(params.handle));
    return result;
  }

  static int Status(TWorkThread* task) {
    TaskProgress progress;
    EXPECT_EQ(GetTaskProgress(task, &progress), kEngineOk);
    return progress.status;
  }

  static bool Ends(TWorkThread* task, int seconds) {
    return WaitFor([task] { return !task->IsRunning(); }, seconds);
  }

  TempDir dir;
  std::vector<std::string> sourceTexts;
};

constexpr uint32_t kAppFlags = kTaskFlagFullPath | kTaskFlagStored;

}  // namespace bw::test
