#pragma once
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/net/ServerProcess.h"

namespace bw::test {

// A real opentracker on 127.0.0.1 (or another address of the machine), HTTP and UDP on one port
// chosen at run time. Debian's build serves only the info hashes of its whitelist (40 hex digits
// a line).
class OpentrackerServer : public ServerProcess {
 public:
  static bool Installed() { return !FindProgram("opentracker").empty(); }

  OpentrackerServer(const std::string& folder, const std::vector<std::string>& infoHashesHex,
                    const std::string& address = "127.0.0.1")
      : ServerProcess(
            [&folder, &infoHashesHex, &address](uint16_t port) {
              WriteWhitelist(folder, infoHashesHex);
              // As root it changes into the folder and drops to "nobody": the list is named from
              // there and must be readable by anyone.
              return std::vector<std::string>{FindProgram("opentracker"), "-i", address, "-p", std::to_string(port),
                                              "-P", std::to_string(port), "-d", folder, "-u", "nobody", "-w",
                                              "whitelist.txt"};
            },
            folder + "/opentracker.log", address) {
    if (Running() && !infoHashesHex.empty()) serving_ = WaitForWhitelist(infoHashesHex.front());
  }

  // The tracker reads its whitelist after it starts listening: until then it refuses every torrent.
  bool Serving() const { return serving_; }

  std::string HttpAnnounce() const { return Url("/announce"); }
  std::string UdpAnnounce() const { return "udp://" + Address() + ":" + std::to_string(Port()) + "/announce"; }

 private:
  std::string Get(const std::string& target) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::inet_addr(Address().c_str());
    a.sin_port = htons(Port());
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        WriteAll(fd, "GET " + target + " HTTP/1.0\r\n\r\n")) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
  }

  // A probe announce of the torrent until it is served, then the probe leaves the swarm again.
  bool WaitForWhitelist(const std::string& hashHex) const {
    std::string escaped;
    for (size_t i = 0; i + 1 < hashHex.size(); i += 2) escaped.append("%").append(hashHex, i, 2);
    const std::string target = "/announce?info_hash=" + escaped + "&peer_id=opentracker-probe-00&port=1&uploaded=0"
                               "&downloaded=0&left=0&compact=1";
    for (int attempt = 0; attempt < 200; ++attempt) {
      const std::string answer = Get(target);
      if (answer.find("5:peers") != std::string::npos && answer.find("failure reason") == std::string::npos) {
        Get(target + "&event=stopped");
        return true;
      }
      platform::SleepMs(50);
    }
    return false;
  }

  bool serving_ = false;
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
