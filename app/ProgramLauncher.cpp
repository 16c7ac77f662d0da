#include "app/ProgramLauncher.h"

#include "app/LaunchResult.h"
#include "platform/ProgramStart.h"

namespace bw::app {

int ProgramLauncher::StartInstaller(const std::string& path, const std::string& workingFolder) {
  // What fails here (a missing file) the start tells again, with its reason.
  platform::AllowOwnerToRun(path);
  pid_t pid = 0;
  return LaunchResultOf(platform::StartProgram({path}, workingFolder, false, &pid));
}

bool ProgramLauncher::OpenWebAddress(const std::string& url) {
  pid_t pid = 0;
  return platform::StartProgram({"xdg-open", url}, "", true, &pid) == 0;
}

}  // namespace bw::app
