#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "app/ControllerThread.h"
#include "tests/app/AppTestSupport.h"

namespace bw::app::test {
namespace {

class ControllerThreadTest : public ControllerFixture {
 protected:
  // Waits (up to seconds) for the published view to satisfy done.
  template <class Done>
  bool WaitForView(ControllerThread& thread, Done done) {
    for (int waited = 0; waited < 5000; waited += 20) {
      if (done(thread.View())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Whether this process has the file open.
  static bool HoldsOpen(const std::string& path) {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (std::filesystem::read_symlink(fd.path(), error) == path) return true;
    }
    return false;
  }
};

// The window's calls, the timers and the workers' results all run on the controller's thread;
// the view follows the state.
TEST_F(ControllerThreadTest, DrivesTheControllerFromAnyThread) {
  ControllerThread thread(engine_, package_);
  EXPECT_EQ(thread.Start(0), 0);
  ControllerView view = thread.View();
  EXPECT_EQ(view.state, kStateReady);
  EXPECT_EQ(view.fileNames[4], "tnw004.cab");
  EXPECT_EQ(view.rowTexts[0], "未开始    ");

  // Buttons pressed from two threads at once are taken one after the other.
  std::thread other([&] { thread.Post([](CDownloadController& c) { c.OnMainAction(); }); });
  thread.Call([](CDownloadController& c) {
    c.OnMainAction();
    return 0;
  });
  other.join();
  EXPECT_EQ(thread.Call([this](CDownloadController&) {
    for (auto& [handle, task] : engine_.tasks) {
      task.progress.progress = 100;
      task.progress.speed = 4000;
    }
    return static_cast<int>(engine_.tasks.size());
  }),
            5);
  ASSERT_TRUE(WaitForView(thread, [](const ControllerView& v) { return v.state == kStateDownloading; }));
  ASSERT_TRUE(WaitForView(thread, [](const ControllerView& v) { return v.speedText == "19.5 KB/s"; }));
  EXPECT_EQ(thread.View().rowTexts[2], "1.00%    ");

  // The end waits for a worker; what it posts after the end is dropped, as are the calls.
  std::promise<void> release;
  std::atomic<bool> workerEnded{false};
  thread.RunInBackground([released = release.get_future().share(), post = thread.Poster(), &workerEnded] {
    released.wait();
    post([] { FAIL() << "ran after the end"; });
    workerEnded = true;
  });
  std::thread releaser([&release] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release.set_value();
  });
  thread.Stop();
  EXPECT_TRUE(workerEnded);
  releaser.join();
  EXPECT_THROW(thread.Call([](CDownloadController& c) { return c.State(); }), std::future_error);
}

// Quitting in the middle of the MD5 check of a large file stops the check, and the end waits for
// it before the engine goes.
TEST_F(ControllerThreadTest, QuittingDuringTheCheckStopsItBeforeTheEngineEnds) {
  ControllerThread thread(engine_, package_);
  ASSERT_EQ(thread.Start(0), 0);
  std::filesystem::create_directories(SaveFolder());
  std::ofstream(FileIn(0)).close();
  std::filesystem::resize_file(FileIn(0), uint64_t{16} << 30);  // sparse: minutes of hashing
  thread.Call([](CDownloadController& c) {
    c.StartVerification(false);
    return 0;
  });
  bool reading = false;
  for (int waited = 0; waited < 5000 && !reading; waited += 10) {
    reading = HoldsOpen(FileIn(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(reading);
  thread.Stop();
  EXPECT_FALSE(HoldsOpen(FileIn(0))) << "the check still reads the file";
  EXPECT_EQ(engine_.endCalls, (std::vector<std::string>{"UninitEngine", "ShutdownReporting"}));
  EXPECT_EQ(engine_.CountOf("11500201"), 0);
}

}  // namespace
}  // namespace bw::app::test
