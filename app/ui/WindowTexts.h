#pragma once
#include <string>

#include "app/ControllerThread.h"

namespace bw::app::ui {

// The window's texts below the progress bar, from the controller's view.
std::string ProgressLabel(int state);
// "%3.2f%%" of the progress that the state shows (verification, repair or download).
std::string ProgressValue(const ControllerView& view);
// The speed text; repairTick counts the slow ticks spent repairing, for the repair's alternation
// between a word and the rate.
std::string SpeedShown(const ControllerView& view, int repairTick);
// What stands instead of speed, label and value once the download or the check is over; "" before.
std::string FinishedText(const ControllerView& view);
// The progress bar's fill in hundredths of a percent, capped at 100 %.
int BarProgress(const ControllerView& view);
bool ShowsVerification(int state);

}  // namespace bw::app::ui
