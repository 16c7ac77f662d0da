#pragma once
#include <string>

namespace bw::app {

// Starting the installer and opening a web page: effects outside the program, so tests replace
// them and no test ever starts a real installer.
class ILauncher {
 public:
  virtual ~ILauncher() = default;
  // Starts the program at path, with its path as its only argument, in workingFolder: a launch
  // result (LaunchResult.h).
  virtual int StartInstaller(const std::string& path, const std::string& workingFolder) = 0;
  // Shows an http or https address in the user's browser; false when that could not be asked.
  virtual bool OpenWebAddress(const std::string& url) = 0;
};

}  // namespace bw::app
