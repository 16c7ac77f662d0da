#pragma once
#include "app/ControllerThread.h"
#include "app/ui/IDownloaderFront.h"

namespace bw::app::ui {

// The window's calls on the controller's own thread, as bwconsole makes them: posted where the
// window needs no answer, waited for where it does.
class ControllerFront : public IDownloaderFront {
 public:
  ControllerFront(ControllerThread& controller, int listenPort) : controller_(controller), listenPort_(listenPort) {}

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

 private:
  ControllerThread& controller_;
  int listenPort_;
};

}  // namespace bw::app::ui
