#pragma once

namespace bw {

// Process-wide services that the first task starts (the UDP server, ...) register how they are
// stopped; UninitEngine stops them after the tasks are gone, the last registered first.
using EngineServiceStop = void (*)();
void AddEngineService(EngineServiceStop stop);  // a function already listed is not added again
void StopEngineServices();

}  // namespace bw
