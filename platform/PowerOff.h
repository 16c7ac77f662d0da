#pragma once

namespace platform {

// Asks logind to power the machine off after delaySeconds (the users are warned as by
// `shutdown`); false when the request was refused or could not be made.
bool ScheduleDelayedPowerOff(int delaySeconds);

}  // namespace platform
