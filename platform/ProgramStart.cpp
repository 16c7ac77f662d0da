#include "platform/ProgramStart.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>

extern char** environ;

namespace platform {

int StartProgram(const std::vector<std::string>& argv, const std::string& workingFolder, bool searchPath, pid_t* pid) {
  if (argv.empty() || argv[0].empty()) return ENOENT;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (::posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  int result = workingFolder.empty() ? 0 : ::posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  // The program starts as from a fresh session: no signal blocked, none ignored that we ignore.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  if (result == 0) result = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (result == 0) result = ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (result == 0) result = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t started = 0;
  if (result == 0) {
    result = searchPath ? ::posix_spawnp(&started, args[0], &actions, &attributes, args.data(), environ)
                        : ::posix_spawn(&started, args[0], &actions, &attributes, args.data(), environ);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (result == 0 && pid) *pid = started;
  return result;
}

int AllowOwnerToRun(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return errno;
  if ((info.st_mode & S_IXUSR) != 0) return 0;
  return ::chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR) == 0 ? 0 : errno;
}

}  // namespace platform
