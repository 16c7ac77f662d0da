#pragma once
#include "app/ILauncher.h"

namespace bw::app {

// The launcher of the program: the installer runs as a program of its own (never through a
// shell), a web address goes to xdg-open.
class ProgramLauncher : public ILauncher {
 public:
  int StartInstaller(const std::string& path, const std::string& workingFolder) override;
  bool OpenWebAddress(const std::string& url) override;
};

}  // namespace bw::app
