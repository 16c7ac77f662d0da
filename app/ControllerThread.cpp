#include "app/ControllerThread.h"

#include <chrono>

namespace bw::app {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStatePeriod = std::chrono::milliseconds(100);
constexpr auto kTaskPeriod = std::chrono::milliseconds(1000);

}  // namespace

ControllerThread::ControllerThread(IEngine& engine, const Package& package)
    : mailbox_(std::make_shared<Mailbox>()), controller_(engine, *this, package) {}

ControllerThread::~ControllerThread() { Stop(); }

int ControllerThread::Start(int listenPort) {
  std::promise<int> initialized;
  std::future<int> result = initialized.get_future();
  Poster()([this, listenPort, &initialized] {
    const int result = controller_.Initialize(listenPort);
    Tick(true);
    initialized.set_value(result);
  });
  thread_ = std::thread([this] { Run(); });
  return result.get();
}

void ControllerThread::Post(std::function<void(CDownloadController&)> job) {
  Poster()([this, job = std::move(job)] { job(controller_); });
}

PostFunction ControllerThread::Poster() {
  return [mailbox = mailbox_](std::function<void()> job) {
    std::lock_guard guard(mailbox->lock);
    if (!mailbox->open) return;
    mailbox->jobs.push_back(std::move(job));
    mailbox->wake.notify_one();
  };
}

void ControllerThread::RunInBackground(std::function<void()> work) {
  {
    std::lock_guard guard(mailbox_->lock);
    ++mailbox_->workers;
  }
  std::thread([mailbox = mailbox_, work = std::move(work)] {
    work();
    std::lock_guard guard(mailbox->lock);
    --mailbox->workers;
    mailbox->wake.notify_all();
  }).detach();
}

ControllerView ControllerThread::View() const {
  std::lock_guard guard(viewLock_);
  return view_;
}

void ControllerThread::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(mailbox_->lock);
    mailbox_->open = false;
    mailbox_->wake.notify_all();
  }
  thread_.join();
}

void ControllerThread::Run() {
  Clock::time_point nextState = Clock::now();
  Clock::time_point nextTasks = nextState + kTaskPeriod;
  for (;;) {
    std::deque<std::function<void()>> jobs;
    bool open;
    {
      std::unique_lock lock(mailbox_->lock);
      mailbox_->wake.wait_until(lock, std::min(nextState, nextTasks),
                                [&] { return !mailbox_->jobs.empty() || !mailbox_->open; });
      jobs.swap(mailbox_->jobs);
      open = mailbox_->open;
    }
    for (auto& job : jobs) job();
    if (!open) break;
    const Clock::time_point now = Clock::now();
    if (now < nextState && now < nextTasks) continue;
    const bool everySecond = now >= nextTasks;
    // A late tick is not caught up on: the periods count from now.
    nextState = std::max(nextState + kStatePeriod, now);
    if (everySecond) nextTasks = std::max(nextTasks + kTaskPeriod, now);
    Tick(everySecond);
  }
  // The workers end before the engine does: what they post now is dropped, so none waits on us.
  controller_.StopWorkers();
  {
    std::unique_lock lock(mailbox_->lock);
    mailbox_->wake.wait(lock, [&] { return mailbox_->workers == 0; });
  }
  controller_.Shutdown();
}

void ControllerThread::Tick(bool everySecond) {
  ControllerView view = View();
  controller_.EvaluateState();
  if (everySecond) {
    if (controller_.State() != kStateFinished && controller_.State() != kStateCheckFinished) controller_.PollTasks();
    view.speedText = controller_.GetSpeedText();
    view.sizeText = controller_.GetSizeText();
    for (int i = 0; i < kFileCount; ++i) {
      view.fileNames[i] = controller_.FileName(i);
      view.rowTexts[i] = controller_.GetRowStatusText(i);
      view.fileSpeeds[i] = controller_.GetFileSpeed(i);
    }
  }
  view.state = controller_.State();
  view.diskSpaceLow = controller_.DiskSpaceLow();
  view.overallProgress = controller_.GetOverallProgress();
  view.verifyProgress = controller_.GetVerifyProgress();
  view.installerStarted = controller_.InstallerStarted();
  view.repairProgress = controller_.GetRepairProgress();
  view.repairSpeed = controller_.GetRepairSpeed();
  view.mismatchSeen = controller_.GetMismatchSeen() != 0;
  view.p2pEnabled = controller_.P2PEnabled();
  view.saveFolder = controller_.GetSaveFolder();
  std::lock_guard guard(viewLock_);
  view_ = std::move(view);
}

}  // namespace bw::app
