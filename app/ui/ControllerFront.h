#pragma once
#include <chrono>
#include <future>
#include <memory>

#include "app/ControllerThread.h"
#include "app/ILauncher.h"
#include "app/ui/IDownloaderFront.h"
#include "app/ui/InstallQuestion.h"

namespace bw::app::ui {

// The window's calls on the controller's own thread, as bwconsole makes them: posted where the
// window needs no answer, waited for where it does. While the window waits it shows the
// controller's install question, which the controller may ask from within the call, and runs its
// events as long as the question is open: the box's answer comes from them.
class ControllerFront : public IDownloaderFront {
 public:
  ControllerFront(ControllerThread& controller, int listenPort, ILauncher& launcher, InstallQuestion& question)
      : controller_(controller), listenPort_(listenPort), launcher_(launcher), question_(question) {}

  int Initialize() override;
  bool CheckExpiry(std::string* message, std::string* url) override;
  ControllerView View() override { return controller_.View(); }
  bool MainAction() override;
  void SetSpeedLimit(int kBps) override;
  void SetAutoShutdown(bool on) override;
  void SetP2PEnabled(bool on) override;
  void SetSaveFolder(const std::string& folder) override;
  std::string InstallerPath() override;
  std::string GameVersionText() override;
  int LoadCloseSelection() override;
  void SaveCloseSelection(int choice) override;
  void MarkUserExit() override;
  void ClearUserExit() override;
  // At the program's end, before the controller stops: every end the window sees is the user's,
  // unless the installer took over.
  void Finish();

 private:
  template <class Job>
  auto Wait(Job job) -> decltype(job(std::declval<CDownloadController&>())) {
    using Result = decltype(job(std::declval<CDownloadController&>()));
    auto task = std::make_shared<std::packaged_task<Result(CDownloadController&)>>(std::move(job));
    std::future<Result> result = task->get_future();
    // A dropped job takes the only owner of the task along: the future then reports the end.
    controller_.Post([task = std::move(task)](CDownloadController& c) { (*task)(c); });
    while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
      if (!RanEventsForQuestion()) result.wait_for(kPause);
    }
    return result.get();
  }
  // Shows a waiting question; while one waits, runs the window's events for a moment: true then.
  bool RanEventsForQuestion();

  static constexpr std::chrono::milliseconds kPause{20};

  ControllerThread& controller_;
  int listenPort_;
  ILauncher& launcher_;
  InstallQuestion& question_;
};

}  // namespace bw::app::ui
