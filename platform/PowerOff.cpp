#include "platform/PowerOff.h"

#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

namespace platform {

bool ScheduleDelayedPowerOff(int delaySeconds) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const unsigned long long at =
      (static_cast<unsigned long long>(now.tv_sec) + static_cast<unsigned long long>(delaySeconds)) * 1000000ULL;
  std::string when = std::to_string(at);
  // busctl as a program with its arguments: no shell ever reads them.
  const char* argv[] = {"busctl", "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                        "org.freedesktop.login1.Manager", "ScheduleShutdown", "st", "poweroff", when.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "busctl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
