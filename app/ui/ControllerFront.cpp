#include "app/ui/ControllerFront.h"

#include "platform/PowerOff.h"

namespace bw::app::ui {

int ControllerFront::Initialize() { return controller_.Start(listenPort_); }

bool ControllerFront::CheckExpiry(std::string* message, std::string* url) {
  return controller_.Call([&](CDownloadController& c) { return c.CheckExpiry(message, url); });
}

bool ControllerFront::MainAction() {
  return controller_.Call([](CDownloadController& c) {
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
  controller_.Call([&folder](CDownloadController& c) { return c.SetSaveFolder(folder); });
}

std::string ControllerFront::InstallerPath() {
  return controller_.Call([](CDownloadController& c) { return c.GetInstallerPath(); });
}

std::string ControllerFront::GameVersionText() {
  return controller_.Call([](CDownloadController& c) { return std::string(c.GetGameVersionText()); });
}

int ControllerFront::LoadCloseSelection() {
  return controller_.Call([](CDownloadController& c) { return c.LoadCloseSelection(); });
}

void ControllerFront::SaveCloseSelection(int choice) {
  controller_.Call([choice](CDownloadController& c) { c.SaveCloseSelection(choice); });
}

void ControllerFront::MarkUserExit() {
  controller_.Post([](CDownloadController& c) { c.MarkUserExit(); });
}

void ControllerFront::ClearUserExit() {
  controller_.Post([](CDownloadController& c) { c.ClearUserExit(); });
}

}  // namespace bw::app::ui
