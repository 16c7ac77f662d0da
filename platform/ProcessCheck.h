#pragma once
#include <string>

namespace platform {

// True when process `pid` runs the program file at `programPath` (the same file, whatever the
// path it was started by).
bool ProcessRunsProgram(int pid, const std::string& programPath);
// The file of the program this process runs.
std::string OwnProgramPath();
// Ends process `pid` at once, as the system's TerminateProcess would: true when it was signalled.
bool EndProcess(int pid);

}  // namespace platform
