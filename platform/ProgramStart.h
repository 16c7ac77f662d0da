#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// Starts a program as it is, never through a shell: argv[0] is its path (looked up on PATH when
// searchPath is set and it holds no slash), the rest are its arguments, passed untouched.
// workingFolder becomes its current folder ("" keeps ours). 0 with *pid set, or the errno of the
// failure, a failed exec's included (ENOENT, EACCES, ENOEXEC...).
int StartProgram(const std::vector<std::string>& argv, const std::string& workingFolder, bool searchPath, pid_t* pid);
// Adds the owner's execute permission (a downloaded program arrives without it): 0 or errno.
int AllowOwnerToRun(const std::string& path);

}  // namespace platform
