#pragma once
// bwget's command line: what the user asked for, checked and with every path made absolute.
#include <string>
#include <vector>

#include "engine/api/EngineApi.h"

namespace bwget {

enum class ProgressStyle { kBar, kJson, kNone };

struct Options {
  std::vector<std::string> sources;
  std::string torrent;     // absolute; empty for an HTTP task
  std::string target;      // the file with fullPath, else the save folder ending in '/'
  bool fullPath = false;
  std::string infoPath;
  std::string ipFilter;    // absolute; empty for none
  std::string caFile;      // absolute; empty: the system's authorities alone
  int limitKiB = 0;        // 0 = unlimited
  int maxSources = 49;
  int maxPeers = 50;
  int listenPort = 0;      // 0 = the engine's default
  std::string rendezvousHost;  // empty: no UDP transport
  int rendezvousPort = 0;
  int udpPort = 0;         // 0 = the engine's default
  bool p2p = true;
  bw::LanDiscoverySettings lan;
  int seedSeconds = 0;
  int timeoutSeconds = 0;  // 0 = wait for ever
  std::string statsConfig; // absolute; empty: no statistics
  bool engineLog = false;
  ProgressStyle progress = ProgressStyle::kNone;
};

enum class Command { kRun, kHelp, kVersion, kUsageError };

// On kUsageError, *error says what is wrong.
Command ParseOptions(int argc, char** argv, Options* out, std::string* error);

const char* HelpText();

}  // namespace bwget
