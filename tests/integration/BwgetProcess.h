#pragma once
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/net/ChildProcess.h"

namespace bw::test {

// One line of `bwget --progress json`.
struct ProgressLine {
  int64_t doneBytes = 0;
  int64_t httpBytes = 0;  // received in this run
};

// The download tool run as a program of its own, as a user runs it: stoppable by its pid at any
// moment, its standard output and error in one log.
class BwgetProcess {
 public:
  BwgetProcess(const std::vector<std::string>& options, const std::string& logPath)
      : logPath_(logPath), process_(Command(options), logPath) {}

  // The exit status, or -1 while it still runs after `timeoutMs`.
  int Wait(int timeoutMs) { return process_.Wait(timeoutMs); }
  void Signal(int signal) const { process_.Signal(signal); }

  std::string Output() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  // The last lines of the log: what a failure message shows of a run.
  std::string Tail(size_t lineCount = 12) const {
    std::vector<std::string> lines;
    std::istringstream text(Output());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    std::string tail;
    for (size_t i = lines.size() > lineCount ? lines.size() - lineCount : 0; i < lines.size(); ++i) {
      tail += lines[i] + "\n";
    }
    return tail;
  }

  // The lines that contain `text`, each ending in a line break.
  std::string LinesWith(const std::string& text) const {
    std::string found;
    std::istringstream all(Output());
    for (std::string line; std::getline(all, line);) {
      if (line.find(text) != std::string::npos) found += line + "\n";
    }
    return found;
  }

  // Output and error lines interleave in the log: a progress line is a whole line in braces.
  std::vector<ProgressLine> Progress() const {
    std::vector<ProgressLine> lines;
    std::istringstream text(Output());
    std::string line;
    while (std::getline(text, line)) {
      if (line.empty() || line.front() != '{' || line.back() != '}') continue;
      lines.push_back({Field(line, "doneBytes"), Field(line, "httpBytes")});
    }
    return lines;
  }

  int64_t DoneBytes() const {
    const std::vector<ProgressLine> lines = Progress();
    return lines.empty() ? 0 : lines.back().doneBytes;
  }

  // Polls the progress lines until `bytes` have arrived in this run; false when the program ends
  // first or `timeoutMs` passes.
  bool WaitForReceived(int64_t bytes, int timeoutMs) {
    return WaitForProgress([bytes](const ProgressLine& p) { return p.httpBytes >= bytes; }, timeoutMs);
  }

  // The same for the bytes done, from whatever sources.
  bool WaitForDone(int64_t bytes, int timeoutMs) {
    return WaitForProgress([bytes](const ProgressLine& p) { return p.doneBytes >= bytes; }, timeoutMs);
  }

 private:
  template <typename Reached>
  bool WaitForProgress(Reached reached, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
      const std::vector<ProgressLine> lines = Progress();
      if (!lines.empty() && reached(lines.back())) return true;
      if (Wait(0) >= 0) return false;
      platform::SleepMs(50);
    }
    return false;
  }

  static std::vector<std::string> Command(const std::vector<std::string>& options) {
    std::vector<std::string> argv{BW_BWGET};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  static int64_t Field(const std::string& line, const std::string& name) {
    const size_t at = line.find("\"" + name + "\"");
    if (at == std::string::npos) return -1;
    const size_t colon = line.find(':', at);
    return colon == std::string::npos ? -1 : std::strtoll(line.c_str() + colon + 1, nullptr, 10);
  }

  std::string logPath_;
  ChildProcess process_;
};

}  // namespace bw::test
