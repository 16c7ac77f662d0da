// Two download tools that meet through the rendezvous server while TCP to the seeder is refused:
// the leecher reaches it over the UDP stream transport alone, and the content arrives whole, on a
// clean link and on one that loses and reorders datagrams. An engine that peers reach over TCP
// stops the transport.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tests/integration/DownloadFixture.h"
#include "tests/integration/LibtorrentPeer.h"
#include "tests/integration/OwnNetworkNamespace.h"
#include "tests/net/RendezvousProcess.h"
#include "tests/sources/OpentrackerServer.h"

namespace bw::test {
namespace {

// Outside the namespace a case only runs its copy inside it, where nftables may refuse TCP.
class BitTorrentOverUdpSlow : public DownloadFixture {
 protected:
  void SetUp() override {
    if (!InsideOwnNetworkNamespace()) return;
    if (FindProgram("nft").empty() || FindProgram("ip").empty()) {
      GTEST_SKIP() << "nftables and iproute2 are needed (scripts/deps.sh installs them)";
    }
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(Run({FindProgram("ip"), "link", "set", "lo", "up"}), 0);
  }

  int Run(const std::vector<std::string>& argv, bool expectSuccess = true) {
    ChildProcess child(argv, dir_.Path("command.log"));
    const int status = child.Wait(20000);
    if (expectSuccess) {
      EXPECT_EQ(status, 0) << TempDir::Read(dir_.Path("command.log"));
    }
    return status;
  }

  // Every TCP connection to `port` is answered with a reset.
  void RefuseTcpTo(int port) {
    const std::string nft = FindProgram("nft");
    ASSERT_EQ(Run({nft, "add", "table", "inet", "bw"}), 0);
    ASSERT_EQ(Run({nft, "add", "chain", "inet", "bw", "out", "{ type filter hook output priority 0; }"}), 0);
    ASSERT_EQ(Run({nft, "add", "rule", "inet", "bw", "out", "tcp", "dport", std::to_string(port), "reject", "with",
                   "tcp", "reset"}),
              0);
  }

  // Loopback loses 5 % of the datagrams and delivers some late, out of their order: with netem
  // where the kernel has it; else nftables drops at random and sends a random few through a slow
  // class of an HTB queue, where they wait behind each other while the rest pass.
  void LoseAndReorderDatagrams() {
    const std::string tc = FindProgram("tc");
    ASSERT_FALSE(tc.empty()) << "iproute2 is needed (scripts/deps.sh installs it)";
    if (Run({tc, "qdisc", "add", "dev", "lo", "root", "netem", "loss", "5%", "delay", "10ms", "reorder", "75%", "50%"},
            false) == 0) {
      return;
    }
    const std::string nft = FindProgram("nft");
    // Dropped on the way in: a drop on the way out would tell the sender (its send fails).
    ASSERT_EQ(Run({nft, "add", "chain", "inet", "bw", "in", "{ type filter hook input priority 0; }"}), 0);
    ASSERT_EQ(Run({nft, "add", "rule", "inet", "bw", "in", "meta", "l4proto", "udp", "numgen", "random", "mod", "100", "<",
                   "5", "drop"}),
              0);
    ASSERT_EQ(Run({nft, "add", "rule", "inet", "bw", "out", "meta", "l4proto", "udp", "numgen", "random", "mod", "100", "<",
                   "5", "meta", "priority", "set", "1:2"}),
              0);
    ASSERT_EQ(Run({tc, "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "default", "1"}), 0);
    ASSERT_EQ(Run({tc, "class", "add", "dev", "lo", "parent", "1:", "classid", "1:1", "htb", "rate", "10gbit"}), 0);
    ASSERT_EQ(Run({tc, "class", "add", "dev", "lo", "parent", "1:", "classid", "1:2", "htb", "rate", "4mbit", "burst",
                   "1600"}),
              0);
  }

  // The leecher knows the seeder by its address alone (a btnode line), and TCP to it is refused.
  void DownloadOverUdp(bool lossy) {
    MakeContent(64 * 1024 * 1024 + 777);
    const std::string torrent = MakeTorrent(18);
    RendezvousProcess rendezvous(dir_.Path("rendezvous.log"));
    ASSERT_GT(rendezvous.Port(), 0);
    const int seederPort = FreePort();
    RefuseTcpTo(seederPort);
    if (lossy) LoseAndReorderDatagrams();
    if (HasFatalFailure()) return;

    WriteFile("seed", content_);
    std::unique_ptr<BwgetProcess> seeder = StartEngine(
        "seeder", seederPort, rendezvous.Port(), {"-t", torrent, "-o", dir_.Path("seed/") + kName, "--seed", "600"});
    const uint32_t started = platform::TickCountMs();
    std::unique_ptr<BwgetProcess> leecher =
        StartEngine("leecher", FreePort(), rendezvous.Port(),
                    {"-t", torrent, "-o", Target(), "--progress", "json", "btnode://127.0.0.1:" + std::to_string(seederPort)});
    // How long the dial takes to find the transport that works: shown, not asserted.
    const int64_t firstPiece = 1 << 18;
    if (leecher->WaitForDone(firstPiece, 200000)) {
      RecordProperty("setup_ms", static_cast<int>(platform::TickCountMs() - started));
      std::printf("first piece after %u ms\n", platform::TickCountMs() - started);
    }

    ExpectLeecherGetsTheContent(*leecher, *seeder, 200000);
  }

  // The leecher ends with the whole content in time; then the seeder is stopped.
  void ExpectLeecherGetsTheContent(BwgetProcess& leecher, BwgetProcess& seeder, int timeoutMs) {
    const int status = leecher.Wait(timeoutMs);
    if (status < 0) leecher.Signal(SIGKILL);
    EXPECT_EQ(status, 0) << leecher.Tail(30) << "\nseeder:\n" << seeder.Tail(30) << "\nrendezvous:\n"
                         << TempDir::Read(dir_.Path("rendezvous.log"));
    ExpectTargetIsTheContent();
    seeder.Signal(SIGTERM);
    EXPECT_NE(seeder.Wait(10000), -1);
  }

  // Whether a UDP socket is bound to the port in this namespace.
  bool UdpPortOpen(int port) {
    const std::string out = dir_.Path("ss.log");
    ChildProcess ss({FindProgram("ss"), "-Hlun", "sport = :" + std::to_string(port)}, out);
    return ss.Wait(10000) == 0 && !TempDir::Read(out).empty();
  }

  // Waits up to timeoutMs for the UDP port to be open (or closed).
  bool WaitForUdpPort(int port, bool open, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
      if (UdpPortOpen(port) == open) return true;
      platform::SleepMs(100);
    }
    return false;
  }

  // One engine of the pair: its own work folder, listen port and UDP port, both known to the
  // rendezvous server.
  std::unique_ptr<BwgetProcess> StartEngine(const std::string& name, int listenPort, int rendezvousPort,
                                            std::vector<std::string> options, int udpPort = FreeUdpPort()) {
    ::setenv("XDG_CACHE_HOME", dir_.Path("cache-" + name).c_str(), 1);
    options.insert(options.begin(), {"--listen-port", std::to_string(listenPort), "--lan-interface", "127.0.0.1",
                                     "--lan-port", std::to_string(FreePort()), "--rendezvous",
                                     rendezvousAddress_ + ":" + std::to_string(rendezvousPort), "--udp-port",
                                     std::to_string(udpPort)});
    return std::make_unique<BwgetProcess>(options, dir_.Path(name + ".log"));
  }

  std::string rendezvousAddress_ = "127.0.0.1";
};

TEST_F(BitTorrentOverUdpSlow, LeecherReachesTheSeederOverUdpWhenTcpIsRefused) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  DownloadOverUdp(false);
}

TEST_F(BitTorrentOverUdpSlow, ContentArrivesWholeOverALossyReorderingLink) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  DownloadOverUdp(true);
}

// The leecher knows the seeder only from opentracker's compact list (an address and a port, no
// peer id), and TCP between the two is refused both ways: it reaches the seeder over the UDP
// transport, where the rendezvous server finds the engine by the listen port it registered. The
// tracker, the rendezvous server and the engines meet on an address of their own: a peer at
// 127.0.0.1 is taken for the engine itself.
TEST_F(BitTorrentOverUdpSlow, LeecherReachesOverUdpASeederThatOnlyTheTrackerNamed) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  if (!OpentrackerServer::Installed() || !LibtorrentPeer::Installed()) {
    GTEST_SKIP() << "opentracker and python3-libtorrent are needed (scripts/deps.sh installs them)";
  }
  rendezvousAddress_ = "10.8.0.1";
  ASSERT_EQ(Run({FindProgram("ip"), "addr", "add", rendezvousAddress_ + "/24", "dev", "lo"}), 0);
  MakeContent(4 * 1024 * 1024 + 777);
  const std::string unannounced = MakeTorrent(18);
  OpentrackerServer tracker(dir_.Path("tracker"), {InfoHash(unannounced)}, rendezvousAddress_);
  ASSERT_TRUE(tracker.Serving()) << TempDir::Read(dir_.Path("tracker/opentracker.log"));
  const std::string torrent = MakeTorrent(18, tracker.HttpAnnounce());
  RendezvousProcess rendezvous(dir_.Path("rendezvous.log"), rendezvousAddress_);
  ASSERT_GT(rendezvous.Port(), 0);
  const int seederPort = FreePort();
  const int leecherPort = FreePort();
  RefuseTcpTo(seederPort);
  RefuseTcpTo(leecherPort);
  if (HasFatalFailure()) return;

  WriteFile("seed", content_);
  std::unique_ptr<BwgetProcess> seeder = StartEngine(
      "seeder", seederPort, rendezvous.Port(), {"-t", torrent, "-o", dir_.Path("seed/") + kName, "--seed", "600"});
  std::unique_ptr<BwgetProcess> leecher =
      StartEngine("leecher", leecherPort, rendezvous.Port(), {"-t", torrent, "-o", Target()});
  ExpectLeecherGetsTheContent(*leecher, *seeder, 120000);
}

// A peer that dials the engine over TCP from another network shows that the engine is reachable:
// it then needs no UDP transport, and its UDP server lets the socket go.
TEST_F(BitTorrentOverUdpSlow, EngineReachedOverTcpFromAnotherNetworkStopsItsUdpTransport) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  MakeContent(256 * 1024);
  const std::string torrent = MakeTorrent(16);
  RendezvousProcess rendezvous(dir_.Path("rendezvous.log"));
  ASSERT_GT(rendezvous.Port(), 0);
  const int listenPort = FreePort();
  const int udpPort = FreeUdpPort();
  std::unique_ptr<BwgetProcess> engine =
      StartEngine("engine", listenPort, rendezvous.Port(), {"-t", torrent, "-o", Target()}, udpPort);
  ASSERT_TRUE(WaitForUdpPort(udpPort, true, 20000)) << engine->Tail(20);
  // Another network to dial from, added once the engine has chosen its own address.
  ASSERT_EQ(Run({FindProgram("ip"), "addr", "add", "10.8.0.1/24", "dev", "lo"}), 0);

  struct Case {
    const char* from;
    bool stopsTransport;
  } cases[] = {
      {"127.0.0.1", false},  // a peer on this host proves nothing
      {"10.8.0.1", true},
  };
  for (const Case& c : cases) {
    const std::string dial = "import socket, time\n"
                             "s = socket.create_connection(('127.0.0.1', " + std::to_string(listenPort) + "), 5, ('" +
                             c.from + "', 0))\n"
                             "time.sleep(1)\n";
    ChildProcess dialler({"/usr/bin/python3", "-c", dial}, dir_.Path("dial.log"));
    EXPECT_EQ(dialler.Wait(20000), 0) << TempDir::Read(dir_.Path("dial.log"));
    EXPECT_EQ(WaitForUdpPort(udpPort, false, 5000), c.stopsTransport) << c.from << "\n" << engine->Tail(20);
  }
  engine->Signal(SIGTERM);
  EXPECT_NE(engine->Wait(10000), -1);
}

}  // namespace
}  // namespace bw::test
