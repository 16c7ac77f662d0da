#pragma once
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {

// One port mapping as the gateway lists it.
struct ListedMapping {
  std::string protocol;
  int externalPort = 0;
  std::string internalClient;
  int internalPort = 0;
  std::string description;
};

// A home router's UPnP side, in the test's own network namespace (OwnNetworkNamespace.h):
// miniupnpd on one end of a veth pair whose ends both stay in the namespace. Its external address
// is only a text it reports: it forwards nothing anywhere.
class UpnpGateway {
 public:
  static constexpr const char* kLink = "bwlan0";
  // The host's address on the link; the gateway listens there too.
  static constexpr const char* kLanAddress = "10.77.0.1";

  static bool Installed() {
    return !FindProgram("miniupnpd").empty() && !FindProgram("upnpc").empty() && !FindProgram("nft").empty() &&
           !FindProgram("ip").empty();
  }

  // Gives the namespace the host's side of a local network at `address`, where multicast goes;
  // "" or what failed.
  static std::string MakeLink(const TempDir& dir, const std::string& address) {
    const std::vector<std::vector<std::string>> commands = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "add", kLink, "type", "veth", "peer", "name", "bwlan1"},
        {"ip", "address", "add", address + "/24", "dev", kLink},
        {"ip", "link", "set", kLink, "up"},
        {"ip", "link", "set", "bwlan1", "up"},
        {"ip", "route", "add", "224.0.0.0/4", "dev", kLink},
    };
    for (const std::vector<std::string>& command : commands) {
      const std::string failure = Run(command, dir.Path("link.log"));
      if (!failure.empty()) return failure;
    }
    return "";
  }

  // miniupnpd on the link, serving hosts of 10.77.0.0/24.
  explicit UpnpGateway(const TempDir& dir) : dir_(dir) {
    std::ofstream(dir.Path("rules.nft")) << "table inet filter {\n"
                                            "  chain forward {\n"
                                            "    type filter hook forward priority 0; policy accept;\n"
                                            "    jump miniupnpd\n"
                                            "  }\n"
                                            "  chain miniupnpd {\n  }\n"
                                            "  chain prerouting {\n"
                                            "    type nat hook prerouting priority -100; policy accept;\n"
                                            "    jump prerouting_miniupnpd\n"
                                            "  }\n"
                                            "  chain postrouting {\n"
                                            "    type nat hook postrouting priority 100; policy accept;\n"
                                            "    jump postrouting_miniupnpd\n"
                                            "  }\n"
                                            "  chain prerouting_miniupnpd {\n  }\n"
                                            "  chain postrouting_miniupnpd {\n  }\n"
                                            "}\n";
    failure_ = Run({"nft", "-f", dir.Path("rules.nft")}, dir.Path("nft.log"));
    if (!failure_.empty()) return;
    std::ofstream(dir.Path("miniupnpd.conf"))
        << "ext_ifname=lo\nlistening_ip=" << kLink << "\nhttp_port=0\next_ip=11.22.33.44\n"
        << "enable_natpmp=no\nenable_upnp=yes\nsecure_mode=yes\nfriendly_name=Test Gateway\n"
        << "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\nlease_file=" << dir.Path("leases") << "\n"
        << "allow 1024-65535 10.77.0.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{FindProgram("miniupnpd"), "-f", dir.Path("miniupnpd.conf"), "-d", "-P",
                                 dir.Path("miniupnpd.pid")},
        dir.Path("miniupnpd.log"));
    // It chooses its HTTP port itself and says which.
    const std::regex listening("HTTP listening on port ([0-9]+)");
    for (int waited = 0; waited < 10000 && port_ == 0; waited += 50) {
      std::smatch found;
      const std::string log = Log();
      if (std::regex_search(log, found, listening)) port_ = std::stoi(found[1]);
      if (process_->Wait(0) >= 0) break;
      platform::SleepMs(50);
    }
    if (port_ == 0) failure_ = "miniupnpd did not start:\n" + Log();
  }

  // "" once it serves.
  const std::string& Failure() const { return failure_; }
  std::string Log() const { return TempDir::Read(dir_.Path("miniupnpd.log")); }

  // What its port mapping table holds, asked as a client (miniupnpc's upnpc) asks it.
  std::vector<ListedMapping> Mappings() const {
    const std::string url = std::string("http://") + kLanAddress + ":" + std::to_string(port_) + "/rootDesc.xml";
    ChildProcess upnpc({FindProgram("upnpc"), "-u", url, "-l"}, dir_.Path("upnpc.log"));
    upnpc.Wait(20000);
    const std::string listing = TempDir::Read(dir_.Path("upnpc.log"));
    // " 0 TCP 40123->10.77.0.1:40123 'description' '' 0"
    const std::regex line(R"(\s*\d+ (TCP|UDP)\s+(\d+)->([0-9.]+):(\d+)\s+'([^']*)')");
    std::vector<ListedMapping> mappings;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), line); it != std::sregex_iterator(); ++it) {
      const std::smatch& m = *it;
      mappings.push_back({m[1], std::stoi(m[2]), m[3], std::stoi(m[4]), m[5]});
    }
    return mappings;
  }

 private:
  static std::string Run(const std::vector<std::string>& command, const std::string& log) {
    std::vector<std::string> argv = command;
    argv[0] = FindProgram(argv[0]);
    ChildProcess process(argv, log);
    if (process.Wait(20000) == 0) return "";
    std::string text;
    for (const std::string& part : command) text += part + " ";
    return text + "failed: " + TempDir::Read(log);
  }

  const TempDir& dir_;
  std::string failure_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace bw::test
