#pragma once
#include <cstdint>

namespace bw {

// Starts the process-wide timer thread "TimeEnsure" unless it runs.
void TimeEnsure();
// Engine clock in seconds: the wall-clock time at which the timer started, advanced by the tick
// counter (so later changes of the system time are not followed).
uint64_t EngineClock();
// Seconds since the timer thread started (1 before it first ran).
uint32_t EngineUptime();
// The uptime as it stands, without starting the timer (for the timer thread's own bookkeeping).
uint32_t ReadEngineUptime();
void StopTimeThread();

}  // namespace bw
