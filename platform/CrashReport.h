#pragma once
#include <string>

namespace platform {

struct CrashTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "YYYY-MM-DD-hh-mm-ss-ms-rr.dmp": the milliseconds at least two digits wide, r in 0..99.
std::string CrashReportName(const CrashTime& time, int random);

// From now on a fatal signal (segmentation fault, bus error, illegal instruction, arithmetic
// error, abort) writes a crash report with the signal and a backtrace into the current folder,
// then ends the process with that signal as before.
void InstallCrashReport();

}  // namespace platform
