#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/CDownloadController.h"

namespace bw::app {

// What the window shows, as of the controller's last tick.
struct ControllerView {
  int state = kStateReady;
  bool diskSpaceLow = false;
  int overallProgress = 0;  // hundredths of a percent
  int verifyProgress = 0;   // over all files while verifying
  bool installerStarted = false;
  int repairProgress = 0;   // of the file being repaired
  uint32_t repairSpeed = 0;
  bool mismatchSeen = false;
  bool p2pEnabled = true;  // the resource list's switch, or the user's
  std::string speedText;
  std::string sizeText;
  std::string saveFolder;
  std::array<std::string, kFileCount> fileNames;
  std::array<std::string, kFileCount> rowTexts;
  std::array<uint32_t, kFileCount> fileSpeeds{};
};

// The one thread the controller lives on. It runs the controller's two timers (the state every
// 100 ms; the tasks and the window's texts every second), the calls of the window or the
// terminal front, and the results that workers post back, one after another: no two of them
// ever race. Everything here may be called from any thread but the controller's own.
class ControllerThread : public IControllerHost {
 public:
  ControllerThread(IEngine& engine, const Package& package);
  ~ControllerThread() override;
  ControllerThread(const ControllerThread&) = delete;
  ControllerThread& operator=(const ControllerThread&) = delete;

  // Starts the thread and the controller (Initialize, then the timers); Initialize's result.
  int Start(int listenPort);
  // Runs job(controller) on the controller's thread and returns what it returns. Throws
  // std::future_error once the thread has stopped.
  template <class Job>
  auto Call(Job job) -> decltype(job(std::declval<CDownloadController&>())) {
    using Result = decltype(job(std::declval<CDownloadController&>()));
    auto task = std::make_shared<std::packaged_task<Result()>>([this, job] { return job(controller_); });
    std::future<Result> result = task->get_future();
    // A dropped job takes the only owner of the task along: the future then reports the end.
    Poster()([task = std::move(task)] { (*task)(); });
    return result.get();
  }
  void Post(std::function<void(CDownloadController&)> job);
  ControllerView View() const;
  // Runs the jobs already posted, stops the workers and waits for them, then runs the controller's
  // Shutdown and ends the thread.
  void Stop();

  void RunInBackground(std::function<void()> work) override;
  PostFunction Poster() override;

 private:
  struct Mailbox {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool open = true;
    int workers = 0;
  };

  void Run();
  void Tick(bool everySecond);

  std::shared_ptr<Mailbox> mailbox_;
  CDownloadController controller_;
  std::thread thread_;
  mutable std::mutex viewLock_;
  ControllerView view_;
};

}  // namespace bw::app
