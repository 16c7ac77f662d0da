#pragma once

namespace platform {

// Where the engine's debugger lines go: standard error here.
void DebugOutput(const char* text);

}  // namespace platform
