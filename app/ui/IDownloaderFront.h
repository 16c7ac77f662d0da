#pragma once
#include <string>

#include "app/ControllerThread.h"

namespace bw::app::ui {

// What the window asks of the downloader: the controller's last view and the calls behind its
// buttons and dialogs. The program passes ControllerFront; tests pass a recording stand-in.
class IDownloaderFront {
 public:
  virtual ~IDownloaderFront() = default;
  // The controller's Initialize result.
  virtual int Initialize() = 0;
  virtual bool CheckExpiry(std::string* message, std::string* url) = 0;
  virtual ControllerView View() = 0;
  // The main button; whether the disk space is low afterwards.
  virtual bool MainAction() = 0;
  virtual void SetSpeedLimit(int kBps) = 0;
  virtual void SetAutoShutdown(bool on) = 0;
  virtual void SetP2PEnabled(bool on) = 0;
  virtual void SetSaveFolder(const std::string& folder) = 0;
  virtual std::string InstallerPath() = 0;
  virtual std::string GameVersionText() = 0;
  virtual int LoadCloseSelection() = 0;
  virtual void SaveCloseSelection(int choice) = 0;
  virtual void MarkUserExit() = 0;
  virtual void ClearUserExit() = 0;
};

}  // namespace bw::app::ui
