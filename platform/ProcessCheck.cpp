#include "platform/ProcessCheck.h"

#include <csignal>
#include <filesystem>
#include <sys/stat.h>

namespace platform {

bool ProcessRunsProgram(int pid, const std::string& programPath) {
  struct stat running {}, program {};
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (pid <= 0 || stat(exe.c_str(), &running) != 0 || stat(programPath.c_str(), &program) != 0) return false;
  return running.st_dev == program.st_dev && running.st_ino == program.st_ino;
}

std::string OwnProgramPath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "/proc/self/exe" : self.string();
}

bool EndProcess(int pid) { return pid > 0 && kill(pid, SIGKILL) == 0; }

}  // namespace platform
