#pragma once
#include <cstdint>

namespace bw {

// Seconds on the engine clock as sockets stamp them. The engine frame plugs its clock in; until
// then (and in tests that do not care) system time in seconds stands in.
using NetClockSource = uint64_t (*)();
uint64_t NetClockNow();
// Returns the previous source; nullptr restores system time.
NetClockSource SetNetClock(NetClockSource source);

}  // namespace bw
