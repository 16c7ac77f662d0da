// P2SP tasks whose BitTorrent side is a real python3-libtorrent peer, dialled through a
// "btnode://" line: downloading from a seeder alone and beside nginx mirrors, and seeding a
// finished content to a leecher.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/integration/LibtorrentPeer.h"

namespace bw::test {
namespace {

class BitTorrentDownloadTest : public DownloadFixture {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    if (!LibtorrentPeer::Installed()) GTEST_SKIP() << "python3-libtorrent is needed (scripts/deps.sh installs it)";
  }

  // A libtorrent peer ("seed" or "leech") whose content lies in `folder`; its btnode:// line.
  std::string StartPeer(const std::string& mode, const std::string& torrent, const std::string& folder) {
    peers_.push_back(std::make_unique<LibtorrentPeer>(mode, torrent, dir_.Path(folder), dir_.Path(mode + ".log")));
    const int port = peers_.back()->Port();
    EXPECT_GT(port, 0) << peers_.back()->Log();
    return "btnode://127.0.0.1:" + std::to_string(port);
  }
  std::string StartSeeder(const std::string& torrent) { return StartPeer("seed", torrent, "www"); }

  std::vector<std::string> Options(const std::string& torrent) const {
    return {"-t", torrent, "-o", Target(), "--progress", "json", "--timeout", "30"};
  }

  // Payload bytes of this run from sources and from peers, as the last progress line counts them.
  static std::pair<int64_t, int64_t> KindBytes(const std::string& output) {
    const size_t line = output.rfind("{\"");
    auto field = [&](const std::string& name) {
      const size_t at = output.find("\"" + name + "\":", line);
      return at == std::string::npos ? int64_t{-1} : std::strtoll(output.c_str() + at + name.size() + 3, nullptr, 10);
    };
    return {field("httpBytes"), field("p2pBytes")};
  }

  // A bwget that holds the whole content at the target and seeds it to `peers`.
  std::unique_ptr<BwgetProcess> StartSeedingBwget(const std::string& torrent, int seedSeconds,
                                                  const std::vector<std::string>& peers) {
    WriteFile("out", content_);
    std::vector<std::string> options{"-t", torrent, "-o", Target(), "--seed", std::to_string(seedSeconds)};
    options.insert(options.end(), peers.begin(), peers.end());
    return StartBwget(options);
  }

  std::vector<std::unique_ptr<LibtorrentPeer>> peers_;
};

TEST_F(BitTorrentDownloadTest, SeederAloneDeliversTheContent) {
  MakeContent(64 << 20);
  const std::string torrent = MakeTorrent(18);
  std::vector<std::string> options = Options(torrent);
  options.push_back(StartSeeder(torrent));
  RunBwget(options);
  ExpectTargetIsTheContent();
  EXPECT_EQ(KindBytes(lastOutput_).second, 64 << 20) << lastOutput_.substr(lastOutput_.size() - 400);
}

TEST_F(BitTorrentDownloadTest, SeederAndMirrorsBothDeliverPieces) {
  MakeContent(64 << 20);
  const std::string torrent = MakeTorrent(18);
  std::vector<std::string> options = Options(torrent);
  // Slow mirrors of one connection each leave the peer a share to take.
  options.insert(options.end(), {"--max-sources", "2"});
  for (int i = 0; i < 2; ++i) options.push_back(MirrorUrl(StartMirror("limit_rate 4m;")));
  options.push_back(StartSeeder(torrent));
  RunBwget(options);
  ExpectTargetIsTheContent();
  const auto [fromSources, fromPeers] = KindBytes(lastOutput_);
  EXPECT_GT(fromSources, 0);
  EXPECT_GT(fromPeers, 0);
  StopMirrors();
  for (const auto& mirror : mirrors_) EXPECT_GT(mirror->BytesSent(), 0) << mirror->Url("/");
}

TEST_F(BitTorrentDownloadTest, SeedsAFinishedContentToALeecherItDials) {
  MakeContent(24 << 20);
  const std::string torrent = MakeTorrent(18);
  std::unique_ptr<BwgetProcess> bwget = StartSeedingBwget(torrent, 600, {StartPeer("leech", torrent, "leech")});
  LibtorrentPeer& leecher = *peers_.back();
  EXPECT_EQ(leecher.Wait(120000), 0) << leecher.Log() << bwget->Tail();
  EXPECT_EQ(bwget->Wait(0), -1) << "a seeding bwget runs for its seeding time\n" << bwget->Tail();
  bwget->Signal(SIGINT);
  EXPECT_EQ(bwget->Wait(20000), 130) << bwget->Tail();
  const std::string got = TempDir::Read(dir_.Path("leech/") + kName);
  EXPECT_EQ(got.size(), content_.size());
  EXPECT_TRUE(got == content_) << "the leecher's copy differs";
}

TEST_F(BitTorrentDownloadTest, SeedingEndsAtTheSeedingTime) {
  MakeContent(1 << 20);
  const std::string torrent = MakeTorrent(18);
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<BwgetProcess> bwget = StartSeedingBwget(torrent, 6, {StartPeer("leech", torrent, "leech")});
  EXPECT_EQ(bwget->Wait(60000), 0) << bwget->Tail();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 6.0);
  EXPECT_NE(bwget->Output().find("seeding for 6 s"), std::string::npos) << bwget->Tail();
  LibtorrentPeer& leecher = *peers_.back();
  EXPECT_EQ(leecher.Wait(0), 0) << "the leecher had the whole content before the seeding ended\n" << leecher.Log();
}

}  // namespace
}  // namespace bw::test
