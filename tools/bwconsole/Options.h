#pragma once
#include <string>

#include "engine/api/EngineApi.h"

namespace bwconsole {

enum class Command { kRun, kHelp, kUsageError };

struct Options {
  std::string packageFile;  // a package written by bwpack instead of the built-in one
  std::string saveFolder;
  int listenPort = 0;
  bw::LanDiscoverySettings lan;
  bool mapPort = false;           // choose a free port and have the UPnP gateway forward it
  bool start = false;             // press the main button as soon as it starts a download
  bool autoShutdown = false;      // power off once finished
  bool verify = false;            // check the files by MD5 once complete
  bool install = false;           // start the installer once complete (checked first with verify)
  bool exitWhenFinished = false;  // end once every file is complete (and verified with verify)
  int lingerSeconds = 3;          // before that end: the statistics upload sends once a second
  int statusSeconds = 0;          // print the status this often; 0: on request only
  int limitKiB = 0;
};

Command ParseOptions(int argc, char** argv, Options* options, std::string* error);
const char* HelpText();

}  // namespace bwconsole
