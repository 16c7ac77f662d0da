#include "app/ui/ControllerFront.h"

#include <QEventLoop>
#include <QTimer>
#include <thread>

#include "platform/PowerOff.h"

namespace bw::app::ui {

int ControllerFront::Initialize() {
  const int result = controller_.Start(listenPort_);
  controller_.Post([this](CDownloadController& c) {
    c.SetLauncher(&launcher_);
    c.SetQuestion([this](const char* text) { return question_.Ask(text); });
  });
  return result;
}

bool ControllerFront::CheckExpiry(std::string* message, std::string* url) {
  return Wait([&](CDownloadController& c) { return c.CheckExpiry(message, url); });
}

bool ControllerFront::MainAction() {
  return Wait([](CDownloadController& c) {
    c.OnMainAction();
    return c.DiskSpaceLow();
  });
}

void ControllerFront::SetSpeedLimit(int kBps) {
  controller_.Post([kBps](CDownloadController& c) { c.SetSpeedLimit(kBps); });
}

void ControllerFront::SetAutoShutdown(bool on) {
  controller_.Post([on](CDownloadController& c) {
    c.SetPowerOff(&platform::ScheduleDelayedPowerOff);
    c.SetAutoShutdown(on);
  });
}

void ControllerFront::SetP2PEnabled(bool on) {
  controller_.Post([on](CDownloadController& c) { c.SetP2PEnabled(on); });
}

void ControllerFront::SetSaveFolder(const std::string& folder) {
  Wait([&folder](CDownloadController& c) { return c.SetSaveFolder(folder); });
}

std::string ControllerFront::InstallerPath() {
  return Wait([](CDownloadController& c) { return c.GetInstallerPath(); });
}

std::string ControllerFront::GameVersionText() {
  return Wait([](CDownloadController& c) { return std::string(c.GetGameVersionText()); });
}

int ControllerFront::LoadCloseSelection() {
  return Wait([](CDownloadController& c) { return c.LoadCloseSelection(); });
}

void ControllerFront::SaveCloseSelection(int choice) {
  Wait([choice](CDownloadController& c) { c.SaveCloseSelection(choice); });
}

void ControllerFront::MarkUserExit() {
  controller_.Post([](CDownloadController& c) { c.MarkUserExit(); });
}

void ControllerFront::ClearUserExit() {
  controller_.Post([](CDownloadController& c) { c.ClearUserExit(); });
}

bool ControllerFront::RanEventsForQuestion() {
  question_.AnswerPending();
  if (!question_.Waiting()) return false;
  QEventLoop loop;
  QTimer::singleShot(kPause, &loop, &QEventLoop::quit);
  // An application told to exit runs no loop any more: then only a moment passes.
  if (loop.exec() < 0) std::this_thread::sleep_for(kPause);
  return true;
}

void ControllerFront::Finish() {
  question_.Close();
  controller_.Post([](CDownloadController& c) {
    if (!c.InstallerStarted()) c.MarkUserExit();
  });
}

}  // namespace bw::app::ui
