#pragma once

namespace bw::app {

// Launch results are numbered as the system's shell numbers them: above 32 the program started,
// 32 or less says why not.
constexpr int kLaunchStarted = 33;

inline bool LaunchSucceeded(int result) { return result > 32; }

// The result for a start that failed with errno `error` (0: started).
int LaunchResultOf(int error);
// The reason text of a failed launch's result; "Unknown open failed" for a code without one.
const char* LaunchFailureReason(int result);

}  // namespace bw::app
