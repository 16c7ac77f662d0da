#pragma once

namespace bw {

// The process-wide engine log. Writing before CreateEngineLog or after DeleteEngineLog does
// nothing, and deleting never races a writer.
void CreateEngineLog();
void DeleteEngineLog();
// The log files become base + ".log", base + ".req.log", ...
void SetEngineLogBasePath(const char* base);

// Write a line to the process-wide engine log, when one exists. channel selects the file,
// level whether it also goes to the debugger output (callers pass the same number for both).
void LogWrite(const char* text, int channel, int level);
void LogPrintf(int channel, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace bw
