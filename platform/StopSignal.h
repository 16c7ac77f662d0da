#pragma once

namespace platform {

// SIGINT and SIGTERM no longer end the program: they are noted, for its loop to end it in order.
void CatchStopSignals();
// The signal that asked the program to stop, or 0.
int StopSignal();

}  // namespace platform
