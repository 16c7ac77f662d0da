// bwconsole: the downloader without its window, driven from a terminal through the same calls.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "app/BuiltInPackage.h"
#include "app/ControllerThread.h"
#include "app/EngineCalls.h"
#include "app/ProgramLauncher.h"
#include "platform/PowerOff.h"
#include "platform/File.h"
#include "platform/StopSignal.h"
#include "tools/bwconsole/Options.h"
#include "tools/bwconsole/StatusLines.h"

namespace bwconsole {
namespace {

using bw::app::CDownloadController;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitExpired = 3;
constexpr int kExitInterrupted = 130;

// Message boxes come from threads of their own.
void Print(const std::string& text) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void ShowMessage(void*, const char* text, const char*, unsigned) { Print(std::string("message: ") + text + "\n"); }

std::string StateText(int state) {
  const char* name = bw::app::StateName(state);
  return *name ? name : std::to_string(state);
}

// One line of standard input, when one is there; false at its end.
bool ReadLine(std::string* pending, std::string* line, bool* open) {
  if (!*open) return false;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, 0) > 0) {
    char buffer[512];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) *open = false;
    if (n > 0) pending->append(buffer, static_cast<size_t>(n));
  }
  const size_t end = pending->find('\n');
  if (end == std::string::npos) return false;
  *line = pending->substr(0, end);
  pending->erase(0, end + 1);
  return true;
}

class Console {
 public:
  Console(const Options& options, bw::app::ControllerThread& controller) : options_(options), controller_(controller) {}

  // Until the end the options ask for, a quit, or a signal; the exit status.
  int Run() {
    Clock::time_point nextStatus = Clock::now();
    Clock::time_point finishedAt{};
    std::string pending, line;
    bool inputOpen = true;
    bool pressed = false;
    bool verifyPosted = false;
    for (;;) {
      if (platform::StopSignal()) return kExitInterrupted;
      const bw::app::ControllerView view = controller_.View();
      if (view.state != lastState_) {
        lastState_ = view.state;
        Print("state " + StateText(view.state) + "\n");
      }
      if (options_.start && !pressed && (view.state == bw::app::kStateReady || view.state == bw::app::kStateBack)) {
        controller_.Post([](CDownloadController& c) { c.OnMainAction(); });
        pressed = true;
      }
      if (options_.exitWhenFinished && view.state == bw::app::kStateFailed) return kExitFailed;
      if (options_.install && view.installerStarted) return kExitOk;  // the installer takes over
      if ((options_.verify || options_.install) && !verifyPosted && view.state == bw::app::kStateFinished) {
        // With --install the main button asks whether to check first, and the answer is --verify.
        controller_.Post([install = options_.install](CDownloadController& c) {
          install ? c.OnMainAction() : c.StartVerification(false);
        });
        verifyPosted = true;
      }
      // With --install the end is the installer's start.
      const bool finished = !options_.install && view.state == (options_.verify ? bw::app::kStateCheckFinished
                                                                                 : bw::app::kStateFinished);
      if (options_.exitWhenFinished && finished) {
        if (finishedAt == Clock::time_point{}) finishedAt = Clock::now();
        if (Clock::now() - finishedAt >= std::chrono::seconds(options_.lingerSeconds)) return kExitOk;
      }
      if (options_.statusSeconds > 0 && Clock::now() >= nextStatus) {
        Print(StatusLines(view));
        nextStatus = Clock::now() + std::chrono::seconds(options_.statusSeconds);
      }
      while (ReadLine(&pending, &line, &inputOpen)) {
        if (line == "quit") return kExitOk;
        Command(line, view);
      }
      usleep(100000);
    }
  }

 private:
  void MainAction(const std::string& what, bool fits) {
    if (!fits) {
      Print("bwconsole: nothing to " + what + " in state " + StateText(lastState_) + "\n");
      return;
    }
    controller_.Post([](CDownloadController& c) { c.OnMainAction(); });
  }

  void Command(const std::string& line, const bw::app::ControllerView& view) {
    using namespace bw::app;
    const int s = view.state;
    if (line == "start") {
      MainAction(line, s == kStateReady || s == kStateBack);
    } else if (line == "pause") {
      MainAction(line, s == kStateDownloading || s == kStateResume);
    } else if (line == "resume") {
      MainAction(line, s == kStatePause);
    } else if (line == "verify") {
      if (s != kStateFinished) {
        Print("bwconsole: nothing to verify in state " + StateText(lastState_) + "\n");
      } else {
        controller_.Post([](CDownloadController& c) { c.StartVerification(false); });
      }
    } else if (line == "status") {
      Print(StatusLines(view));
    } else if (line.starts_with("limit ")) {
      const int kBps = std::atoi(line.c_str() + 6);
      controller_.Post([kBps](CDownloadController& c) { c.SetSpeedLimit(kBps); });
    } else if (line == "p2p on" || line == "p2p off") {
      const bool on = line == "p2p on";
      controller_.Post([on](CDownloadController& c) { c.SetP2PEnabled(on); });
    } else if (line.starts_with("folder /")) {
      const std::string folder = line.substr(7);
      controller_.Post([folder](CDownloadController& c) { c.SetSaveFolder(folder); });
    } else if (!line.empty()) {
      Print("bwconsole: unknown command '" + line +
            "' (start, pause, resume, verify, status, limit KIB, p2p on|off, "
            "folder DIR, quit)\n");
    }
  }

  const Options& options_;
  bw::app::ControllerThread& controller_;
  int lastState_ = -1;
};

int Run(const Options& options) {
  platform::CatchStopSignals();
  bw::SetMessageBoxHook(&ShowMessage);
  bw::app::Package loaded;
  const bw::app::Package* package = &bw::app::BuiltInPackage();
  if (!options.packageFile.empty()) {
    std::string stored;
    if (!platform::ReadWholeFile(options.packageFile, &stored) ||
        !bw::app::DecodePackage(stored.data(), stored.size(), &loaded)) {
      std::fprintf(stderr, "bwconsole: %s is not a package\n", options.packageFile.c_str());
      return kExitUsage;
    }
    package = &loaded;
  }
  if (std::string error; !bw::ApplyLanDiscovery(options.lan, &error)) {
    std::fprintf(stderr, "bwconsole: %s\n", error.c_str());
    return kExitUsage;
  }
  bw::app::EngineCalls engine;
  bw::app::ProgramLauncher launcher;  // outlives the controller's thread
  bw::app::ControllerThread controller(engine, *package);
  const int initialized = controller.Start(options.mapPort ? CDownloadController::kMapListenPort : options.listenPort);
  if (initialized < 0) {
    std::fprintf(stderr, "bwconsole: the downloader could not start (%d)\n", initialized);
    return kExitFailed;
  }
  if (initialized == 0) {
    std::string message, url;
    if (controller.Call([&](CDownloadController& c) { return c.CheckExpiry(&message, &url); })) {
      Print("expired: " + message + "\n" + url + "\n");
      return kExitExpired;
    }
  }
  if (!options.saveFolder.empty()) {
    controller.Call([&](CDownloadController& c) { return c.SetSaveFolder(options.saveFolder); });
  }
  if (options.install) {
    controller.Post([&options, &launcher](CDownloadController& c) {
      c.SetLauncher(&launcher);
      c.SetQuestion([verify = options.verify](const char* text) {
        Print(std::string("question: ") + text + (verify ? " yes\n" : " no\n"));
        return verify;
      });
    });
  }
  if (options.autoShutdown) {
    controller.Post([](CDownloadController& c) {
      c.SetPowerOff(&platform::ScheduleDelayedPowerOff);
      c.SetAutoShutdown(true);
    });
  }
  if (options.limitKiB > 0) controller.Post([&](CDownloadController& c) { c.SetSpeedLimit(options.limitKiB); });
  const int status = Console(options, controller).Run();
  // Every end the console chooses is the user's, unless the installer took over.
  controller.Post([](CDownloadController& c) {
    if (!c.InstallerStarted()) c.MarkUserExit();
  });
  return status;
}

}  // namespace
}  // namespace bwconsole

int main(int argc, char** argv) {
  bwconsole::Options options;
  std::string error;
  switch (bwconsole::ParseOptions(argc, argv, &options, &error)) {
    case bwconsole::Command::kHelp:
      std::fputs(bwconsole::HelpText(), stdout);
      return bwconsole::kExitOk;
    case bwconsole::Command::kUsageError:
      std::fprintf(stderr, "bwconsole: %s\nTry 'bwconsole --help'.\n", error.c_str());
      return bwconsole::kExitUsage;
    case bwconsole::Command::kRun:
      break;
  }
  return bwconsole::Run(options);
}
