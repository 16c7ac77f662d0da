#pragma once

namespace bw {

// The engine log. A line carries a channel, which picks its file, and a level, which decides
// whether it also goes to the debugger output.
class CBrightwillowLog {
 public:
  virtual void SetLevels(int fileLevel, int debugLevel) = 0;
  virtual void SetBasePath(const char* base) = 0;
  virtual void Write(const char* text, int channel, int level) = 0;
  virtual void DebugPrintf(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
  virtual ~CBrightwillowLog() = default;
};

}  // namespace bw
