#pragma once
#include <cstdlib>
#include <string>

#include "platform/Thread.h"
#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {

// A python3-libtorrent seeder or leecher of one torrent, listening on a port of its own choice.
class LibtorrentPeer {
 public:
  static bool Installed() { return std::system("/usr/bin/python3 -c 'import libtorrent' 2>/dev/null") == 0; }

  // peerPort > 0: the peer also dials that port on 127.0.0.1.
  LibtorrentPeer(const std::string& mode, const std::string& torrent, const std::string& saveDir,
                 const std::string& logPath, int peerPort = 0)
      : logPath_(logPath),
        process_(Command(mode, torrent, saveDir, peerPort), logPath) {}

  // The listening port once the content is checked; 0 when the peer did not come up.
  int Port(int timeoutMs = 60000) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
      const std::string log = TempDir::Read(logPath_);
      const size_t at = log.find("port ");
      if (at != std::string::npos && log.find('\n', at) != std::string::npos) return std::atoi(log.c_str() + at + 5);
      if (process_.Wait(0) >= 0) return 0;
      platform::SleepMs(50);
    }
    return 0;
  }

  // A leecher ends once it has the whole content: its exit status, -1 while it still runs.
  int Wait(int timeoutMs) { return process_.Wait(timeoutMs); }
  std::string Log() const { return TempDir::Read(logPath_); }

 private:
  static std::vector<std::string> Command(const std::string& mode, const std::string& torrent,
                                          const std::string& saveDir, int peerPort) {
    std::vector<std::string> argv{"/usr/bin/python3", BW_SOURCE_DIR "/tests/integration/libtorrent_peer.py", mode,
                                  torrent, saveDir};
    if (peerPort > 0) argv.push_back(std::to_string(peerPort));
    return argv;
  }

  std::string logPath_;
  ChildProcess process_;
};

}  // namespace bw::test
