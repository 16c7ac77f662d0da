#pragma once
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>
#include <string>

#include "app/CDownloadController.h"
#include "app/package/Package.h"
#include "tests/app/FakeEngine.h"
#include "tests/support/TempDir.h"

namespace bw::app::test {

// A package of the real sizes (6.2 GB in all); its torrents are never read by the fake engine.
inline Package RealSizePackage() {
  const char* names[] = {"Inst.exe", "tnw001.cab", "tnw002.cab", "tnw003.cab", "tnw004.cab"};
  const uint64_t sizes[] = {8299520, 1932735283, 1932735283, 1932735283, 368826489};
  Package package;
  for (int i = 0; i < kFileCount; ++i) {
    package.rows[i] = {names[i], std::string("http://127.0.0.1:9/client/client0223/") + names[i], sizes[i],
                       std::string(31, '0') + static_cast<char>('a' + i), "d4:infodee"};
  }
  package.resourceListUrl = "http://127.0.0.1:9/downloader/tnwResourceList20170222.xml";
  package.statisticsConfigBase64 = "W1N1Ym1pdEV2ZW50RG93bmxvYWRdCg==";  // "[SubmitEventDownload]\n"
  return package;
}

// A controller on the fake engine whose user folders (XDG data, home) lie in a fresh temp folder.
class ControllerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_DATA_HOME", dir_.Path("data").c_str(), 1);
    ::setenv("HOME", dir_.Path("home").c_str(), 1);
    std::filesystem::create_directories(dir_.Path("home"));
  }

  CDownloadController& Make() {
    controller_ = std::make_unique<CDownloadController>(engine_, host_, package_);
    controller_->SetAllocationProbe([this](const std::string&) { return volume_; });
    return *controller_;
  }

  // A fresh controller as at a program start: the engine's tasks of the last run are gone.
  int Start() {
    engine_.tasks.clear();
    return Make().Initialize(0);
  }

  CDownloadController& C() { return *controller_; }
  FakeEngine::Task& TaskOf(int i) { return engine_.TaskOf(C().Records().tasks[i]); }
  std::string SaveFolder() const { return dir_.Path("home/TNW0223"); }
  std::string FileIn(int i) const { return SaveFolder() + "/" + package_.rows[i].name; }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  // Every task reports the whole of its file, as the engine does at completion.
  void CompleteAll() {
    for (int i = 0; i < kFileCount; ++i) {
      WriteFile(FileIn(i), "content " + std::to_string(i));
      FakeEngine::Task& task = TaskOf(i);
      task.complete = 1;
      task.progress.progress = 10000;
      task.progress.status = kTaskStatusComplete;
    }
  }

  // Every file complete and the controller's timers run over it: state 8.
  void FinishAll() {
    CompleteAll();
    for (int n = 0; n < 3; ++n) {
      C().PollTasks();
      C().EvaluateState();
    }
  }

  // Started, with data flowing: state 4.
  void Downloading() {
    Start();
    C().OnMainAction();
    for (int i = 0; i < kFileCount; ++i) TaskOf(i).progress.speed = 5000;
    C().GetSpeedText();
    ASSERT_EQ(C().State(), kStateDownloading);
  }

  bw::test::TempDir dir_;
  Package package_ = RealSizePackage();
  FakeEngine engine_;
  FakeHost host_;
  std::optional<platform::VolumeAllocation> volume_ = platform::VolumeAllocation::kReserves;
  std::unique_ptr<CDownloadController> controller_;
};

}  // namespace bw::app::test
