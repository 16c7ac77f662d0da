#pragma once
#include <string>

#include "engine/api/EngineApi.h"

namespace bw::app::ui {

struct ProgramOptions {
  std::string packageFile;  // a bwpack build instead of the built-in package
  std::string screenshot;   // the window saved here as PNG every second
  int listenPort = 0;
  LanDiscoverySettings lan;
  bool start = false;       // press the start button once it shows
  bool install = false;     // press the install button once it shows, answering its question with the check
  bool expanded = false;    // open the file list
  bool mapPort = false;     // choose the listen port and have the gateway forward it
};

enum class ProgramCommand { kRun, kHelp, kUsageError };

const char* ProgramHelp();
ProgramCommand ParseProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error);

}  // namespace bw::app::ui
