// A scripted BitTorrent peer that misbehaves beside an honest python3-libtorrent seeder: its
// connection ends, it is not dialled again at once, and the content completes byte-exact.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/integration/LibtorrentPeer.h"

namespace bw::test {
namespace {

class MisbehavingPeerTest : public DownloadFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    if (!LibtorrentPeer::Installed()) GTEST_SKIP() << "python3-libtorrent is needed (scripts/deps.sh installs it)";
  }
};

TEST_P(MisbehavingPeerTest, ConnectionEndsAndTheHonestSeederCompletesTheContent) {
  constexpr int kPieceLog = 16;
  MakeContent(4 << 20);
  const std::string torrent = MakeTorrent(kPieceLog);
  LibtorrentPeer seeder("seed", torrent, dir_.Path("www"), dir_.Path("seeder.log"));
  const std::string logPath = dir_.Path("liar.log");
  ChildProcess liar({"/usr/bin/python3", BW_SOURCE_DIR "/tests/integration/misbehaving_peer.py", GetParam(),
                     std::to_string((4 << 20) >> kPieceLog)},
                    logPath);
  int liarPort = 0;
  for (int waited = 0; waited < 10000 && liarPort == 0; waited += 50) {
    const std::string log = TempDir::Read(logPath);
    if (log.find('\n') != std::string::npos) liarPort = std::atoi(log.c_str() + 5);
    platform::SleepMs(50);
  }
  ASSERT_GT(liarPort, 0) << TempDir::Read(logPath);
  const int seederPort = seeder.Port();
  ASSERT_GT(seederPort, 0) << seeder.Log();
  // The liar is listed first, so that it is dialled as soon as the honest one.
  RunBwget({"-t", torrent, "-o", Target(), "--timeout", "30", "btnode://127.0.0.1:" + std::to_string(liarPort),
            "btnode://127.0.0.1:" + std::to_string(seederPort)});
  ExpectTargetIsTheContent();
  const std::string log = TempDir::Read(logPath);
  EXPECT_NE(log.find("connection 1 closed"), std::string::npos) << log;
  EXPECT_EQ(log.find("connection 3 closed"), std::string::npos) << "a charged peer is not dialled again at once\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Misbehaviours, MisbehavingPeerTest,
                         ::testing::Values("bitfield", "oversized", "unrequested", "badhash"));

}  // namespace
}  // namespace bw::test
