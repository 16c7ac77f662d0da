#pragma once
#include <string>

#include "app/ControllerThread.h"

namespace bwconsole {

// The window's figures as terminal lines: the state, overall progress, size and speed, then a
// line per file with its row text and rate.
std::string StatusLines(const bw::app::ControllerView& view);

}  // namespace bwconsole
