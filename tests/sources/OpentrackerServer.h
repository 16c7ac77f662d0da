#pragma once
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/net/ServerProcess.h"

namespace bw::test {

// A real opentracker on 127.0.0.1, HTTP and UDP on one port chosen at run time. Debian's build
// serves only the info hashes of its whitelist (40 hex digits a line).
class OpentrackerServer : public ServerProcess {
 public:
  static bool Installed() { return !FindProgram("opentracker").empty(); }

  OpentrackerServer(const std::string& folder, const std::vector<std::string>& infoHashesHex)
      : ServerProcess(
            [&folder, &infoHashesHex](uint16_t port) {
              WriteWhitelist(folder, infoHashesHex);
              // As root it changes into the folder and drops to "nobody": the list is named from
              // there and must be readable by anyone.
              return std::vector<std::string>{FindProgram("opentracker"), "-i", "127.0.0.1", "-p", std::to_string(port),
                                              "-P", std::to_string(port), "-d", folder, "-u", "nobody", "-w",
                                              "whitelist.txt"};
            },
            folder + "/opentracker.log") {}

  std::string HttpAnnounce() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/announce"; }
  std::string UdpAnnounce() const { return "udp://127.0.0.1:" + std::to_string(Port()) + "/announce"; }

 private:
  static void WriteWhitelist(const std::string& folder, const std::vector<std::string>& infoHashesHex) {
    std::filesystem::create_directories(folder);
    std::ofstream list(folder + "/whitelist.txt");
    for (const std::string& hash : infoHashesHex) list << hash << "\n";
    list.close();
    ::chmod(folder.c_str(), 0755);
    ::chmod((folder + "/whitelist.txt").c_str(), 0644);
  }
};

}  // namespace bw::test
