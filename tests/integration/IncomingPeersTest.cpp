// Peers that dial the engine: python3-libtorrent peers and other bwget runs reach a task through
// the listener, and bwget runs on one host find each other by LAN discovery (kept on loopback).
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "engine/api/EngineApi.h"
#include "tests/integration/DownloadFixture.h"
#include "tests/integration/LibtorrentPeer.h"

namespace bw::test {
namespace {

constexpr int kContentSize = 8 << 20;

class IncomingPeersTest : public DownloadFixture {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    if (!LibtorrentPeer::Installed()) GTEST_SKIP() << "python3-libtorrent is needed (scripts/deps.sh installs it)";
  }

  // A bwget that has the whole content in "www" and serves it; started once it says it seeds.
  std::unique_ptr<BwgetProcess> StartSeedingBwget(const std::string& torrent) {
    std::unique_ptr<BwgetProcess> seeder =
        StartBwget({"-t", torrent, "-o", dir_.Path("www/") + kName, "--seed", "300", "--progress", "none"});
    // The listener opens on the task's next listener period, which may come after seeding began.
    const auto ready = [&] {
      const std::string output = seeder->Output();
      return output.find("seeding") != std::string::npos && output.find("accepting peers on port") != std::string::npos;
    };
    for (int waited = 0; waited < 60000 && !ready(); waited += 50) {
      if (seeder->Wait(0) >= 0) break;
      platform::SleepMs(50);
    }
    EXPECT_TRUE(ready()) << seeder->Tail();
    return seeder;
  }

  static void Stop(BwgetProcess& bwget) {
    bwget.Signal(SIGINT);
    if (bwget.Wait(20000) >= 0) return;
    bwget.Signal(SIGKILL);
    bwget.Wait(10000);
  }

  void ExpectFileIsTheContent(const std::string& path) const {
    EXPECT_TRUE(TempDir::Read(path) == content_) << path << " differs from the content";
  }
};

TEST_F(IncomingPeersTest, LeechersDownloadFromASeedingBwgetThatTheyDial) {
  MakeContent(kContentSize);
  const std::string torrent = MakeTorrent(18);
  std::unique_ptr<BwgetProcess> seeder = StartSeedingBwget(torrent);
  ASSERT_NE(seeder->Output().find("accepting peers on port " + std::to_string(listenPort_)), std::string::npos)
      << seeder->Tail();

  LibtorrentPeer leecher("leech", torrent, dir_.Path("leech"), dir_.Path("leecher.log"), listenPort_);
  EXPECT_EQ(leecher.Wait(120000), 0) << leecher.Log() << seeder->Tail();
  ExpectFileIsTheContent(dir_.Path("leech/") + kName);

  // A second bwget on this host: the listen port is the first one's, so it takes another, and
  // downloads from the first through its listener.
  RunBwget({"-t", torrent, "-o", Target(), "--progress", "json", "--timeout", "60",
            "btnode://127.0.0.1:" + std::to_string(listenPort_)});
  ExpectTargetIsTheContent();
  EXPECT_NE(lastOutput_.find("accepting peers on port "), std::string::npos) << lastOutput_;
  EXPECT_EQ(lastOutput_.find("accepting peers on port " + std::to_string(listenPort_) + "\n"), std::string::npos);
  Stop(*seeder);
}

TEST_F(IncomingPeersTest, DownloaderFindsTheSeederOnTheLanSlow) {
  MakeContent(kContentSize);
  const std::string torrent = MakeTorrent(18);
  std::unique_ptr<BwgetProcess> seeder = StartSeedingBwget(torrent);
  // No source and no peer to dial, the torrent's tracker unreachable: only the LAN can tell.
  RunBwget({"-t", torrent, "-o", Target(), "--progress", "json", "--timeout", "60"});
  ExpectTargetIsTheContent();
  Stop(*seeder);
}

// Two tasks of one engine behind its one listener, each fed by a libtorrent seeder that dials
// the listener; and connections that name no task or say nothing.
class ListenerRoutingTest : public IncomingPeersTest {
 protected:
  void SetUp() override {
    IncomingPeersTest::SetUp();
    if (IsSkipped()) return;
    SetListenPort(FreePort());
    SetLanDiscovery(0, nullptr);
    ASSERT_EQ(InitEngine(dir_.Path("work").c_str()), kEngineOk);
  }
  void TearDown() override {
    UninitEngine();
    SetListenPort(0);
  }

  // A content of its own in folder, its torrent, and a task that downloads it into "out".
  TaskHandle StartTask(const std::string& folder, std::string* bytes) {
    *bytes = RandomContent(kContentSize);
    WriteFile(folder, *bytes);
    const std::string torrent = dir_.Path(folder + ".torrent");
    ChildProcess mktorrent({FindProgram("mktorrent"), "-l", "18", "-a", "http://127.0.0.1:1/announce", "-o", torrent,
                            dir_.Path(folder + "/" + kName)},
                           dir_.Path("mktorrent.log"));
    EXPECT_EQ(mktorrent.Wait(60000), 0);
    TaskParams params{};
    params.sources = "";
    params.flags = kTaskFlagP2SP | kTaskFlagFullPath;
    ("file://" + torrent).copy(params.contentId, kTextSize - 1);
    const std::string target = dir_.Path("out-" + folder + "/" + kName);
    target.copy(params.target, kTextSize - 1);
    (target + ".bwinfo").copy(params.infoPath, kTextSize - 1);
    EXPECT_EQ(CreateDownloadTask(&params), kEngineOk);
    return params.handle;
  }

  static bool WaitComplete(TaskHandle task, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
      int complete = 0;
      if (IsTaskComplete(task, &complete) == kEngineOk && complete == 1) return true;
      platform::SleepMs(100);
    }
    return false;
  }

  static int Dial(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = Loopback();
    a.sin_port = htons(static_cast<uint16_t>(port));
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
  }

  // Milliseconds until the engine closed the connection, -1 when it did not within timeoutMs.
  static int MsUntilClosed(int fd, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    pollfd p{fd, POLLIN, 0};
    char c;
    while (::poll(&p, 1, timeoutMs) > 0 && ::recv(fd, &c, 1, 0) > 0) {
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ::close(fd);
    return ms.count() < timeoutMs ? static_cast<int>(ms.count()) : -1;
  }
};

TEST_F(ListenerRoutingTest, EachSeederReachesTheTaskOfItsTorrent) {
  std::string first, second;
  TaskHandle a = StartTask("a", &first);
  TaskHandle b = StartTask("b", &second);
  for (int i = 0; i < 100 && GetListenPort() == 0; ++i) platform::SleepMs(50);
  const int port = GetListenPort();
  ASSERT_GT(port, 0);

  LibtorrentPeer seedA("seed", dir_.Path("a.torrent"), dir_.Path("a"), dir_.Path("seed-a.log"), port);
  LibtorrentPeer seedB("seed", dir_.Path("b.torrent"), dir_.Path("b"), dir_.Path("seed-b.log"), port);
  EXPECT_TRUE(WaitComplete(a, 120000)) << seedA.Log();
  EXPECT_TRUE(WaitComplete(b, 120000)) << seedB.Log();
  EXPECT_TRUE(TempDir::Read(dir_.Path("out-a/") + kName) == first);
  EXPECT_TRUE(TempDir::Read(dir_.Path("out-b/") + kName) == second);

  // A handshake for a torrent no task has is closed as soon as it is read.
  const int unknown = Dial(port);
  ASSERT_GE(unknown, 0);
  std::string handshake = "\x13" "BitTorrent protocol" + std::string(8, '\0') + std::string(20, 'z') + std::string(20, 'p');
  WriteAll(unknown, handshake);
  const int unknownMs = MsUntilClosed(unknown, 3000);
  EXPECT_GE(unknownMs, 0);
  EXPECT_LT(unknownMs, 2000);
  // One that says nothing is closed after 3 seconds.
  const int silent = Dial(port);
  ASSERT_GE(silent, 0);
  const int silentMs = MsUntilClosed(silent, 8000);
  EXPECT_GE(silentMs, 2900);
}

}  // namespace
}  // namespace bw::test
