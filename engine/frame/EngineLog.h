#pragma once

namespace bw {

// Write a line to the process-wide engine log, when one exists. channel selects the file,
// level whether it also goes to the debugger output (callers pass the same number for both).
void LogWrite(const char* text, int channel, int level);
void LogPrintf(int channel, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace bw
