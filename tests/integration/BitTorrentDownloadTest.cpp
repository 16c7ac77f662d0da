// P2SP tasks whose BitTorrent side is a real python3-libtorrent peer, dialled through a
// "btnode://" line, alone and beside nginx mirrors.
#include <gtest/gtest.h>

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

  // A seeder of the content in "www"; its btnode:// line.
  std::string StartSeeder(const std::string& torrent) {
    seeder_ = std::make_unique<LibtorrentPeer>("seed", torrent, dir_.Path("www"), dir_.Path("seeder.log"));
    const int port = seeder_->Port();
    EXPECT_GT(port, 0) << seeder_->Log();
    return "btnode://127.0.0.1:" + std::to_string(port);
  }

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

  std::unique_ptr<LibtorrentPeer> seeder_;
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
  // Slow mirrors leave the peer a share to take.
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

}  // namespace
}  // namespace bw::test
