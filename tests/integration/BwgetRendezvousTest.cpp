// The download tool and the rendezvous server: an engine given one registers with it from its
// UDP port; without one no UDP server runs.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/BwgetProcess.h"
#include "tests/net/RendezvousProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool UdpPortFree(int port) {
  const platform::SocketHandle s = platform::OpenUdpSocket();
  platform::SockAddrV4 at;
  at.port = static_cast<uint16_t>(port);
  const bool free = platform::Bind(s, at) == 0;
  platform::CloseSocket(s);
  return free;
}

TEST(BwgetRendezvous, RegistersFromItsUdpPortOnlyWhenGivenAServer) {
  TempDir dir;
  RendezvousProcess rendezvous(dir.Path("rendezvous.log"));
  ASSERT_GT(rendezvous.Port(), 0);
  for (const bool given : {true, false}) {
    SCOPED_TRACE(given ? "with --rendezvous" : "without");
    const int udpPort = FreeUdpPort();
    // A source nobody answers keeps the task alive while the test looks.
    std::vector<std::string> options = {"-o", dir.Path("out"), "--udp-port", std::to_string(udpPort),
                                        "--timeout", "20", "http://127.0.0.1:9/none"};
    if (given) {
      options.insert(options.begin(), {"--rendezvous", "127.0.0.1:" + std::to_string(rendezvous.Port())});
    }
    BwgetProcess bwget(options, dir.Path(given ? "with.log" : "without.log"));
    const std::string seen = "at 127.0.0.1:" + std::to_string(udpPort) + "\n";
    bool registered = false;
    for (int i = 0; i < 40 && !registered; ++i) {
      registered = ReadFile(dir.Path("rendezvous.log")).find(seen) != std::string::npos;
      if (!registered) platform::SleepMs(50);
    }
    EXPECT_EQ(registered, given) << bwget.Tail();
    EXPECT_EQ(UdpPortFree(udpPort), !given);
    bwget.Signal(SIGTERM);
    EXPECT_NE(bwget.Wait(10000), -1);
  }
}

}  // namespace
}  // namespace bw::test
