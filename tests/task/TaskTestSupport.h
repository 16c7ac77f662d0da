#pragma once
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/frame/EngineApi.h"
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
          IsTaskComplete(task, &complete);
          return complete == 1;
        },
        seconds);
  }
};

}  // namespace bw::test
