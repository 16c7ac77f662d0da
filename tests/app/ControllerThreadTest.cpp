#include <atomic>
#include <chrono>
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

  // A worker that posts after the end is dropped, as are the calls.
  std::promise<void> release;
  thread.RunInBackground([released = release.get_future().share(), post = thread.Poster()] {
    released.wait();
    post([] { FAIL() << "ran after the end"; });
  });
  thread.Stop();
  release.set_value();
  EXPECT_THROW(thread.Call([](CDownloadController& c) { return c.State(); }), std::future_error);
}

}  // namespace
}  // namespace bw::app::test
