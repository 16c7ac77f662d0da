// P2SP tasks that know no peer at the start: opentracker names a python3-libtorrent seeder, found
// through the torrent's own announce address or through a "tracker://" line.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/integration/LibtorrentPeer.h"
#include "tests/sources/OpentrackerServer.h"
#include "tests/support/Require.h"

namespace bw::test {
namespace {

struct TrackerCase {
  const char* name;
  bool udp;
  bool asLine;  // the tracker comes from a tracker:// line, the torrent names none that answers
};

void PrintTo(const TrackerCase& c, std::ostream* out) { *out << c.name; }

class TrackerDownloadTest : public DownloadFixture, public ::testing::WithParamInterface<TrackerCase> {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    if (!LibtorrentPeer::Installed() || !OpentrackerServer::Installed()) {
      GTEST_SKIP() << "python3-libtorrent and opentracker are needed (scripts/deps.sh installs them)";
    }
  }

  // A torrent of the content that announces to `announce`.
  std::string TorrentAnnouncingTo(const std::string& announce, const std::string& name) {
    const std::string torrent = dir_.Path(name);
    const std::string log = dir_.Path(name + ".log");
    ChildProcess make({FindProgram("mktorrent"), "-l", "16", "-a", announce, "-o", torrent, dir_.Path("www/") + kName},
                      log);
    EXPECT_EQ(make.Wait(60000), 0) << TempDir::Read(log);
    return torrent;
  }

  // Waits until the seeder's log shows `word`; false when it ended or took too long.
  bool SeederSays(const std::string& word) {
    for (int waited = 0; waited < 60000; waited += 50) {
      if (TempDir::Read(dir_.Path("seeder.log")).find(word) != std::string::npos) return true;
      if (seeder_->Wait(0) >= 0) return false;
      platform::SleepMs(50);
    }
    return false;
  }

  std::unique_ptr<OpentrackerServer> tracker_;
  std::unique_ptr<ChildProcess> seeder_;
};

TEST_P(TrackerDownloadTest, TrackerNamesTheSeederThatDeliversTheContent) {
  const TrackerCase& c = GetParam();
  MakeContent(8 << 20);
  const std::string fromScratch = TorrentAnnouncingTo("http://127.0.0.1:1/announce", "unreachable.torrent");
  tracker_ = std::make_unique<OpentrackerServer>(dir_.Path("tracker"), std::vector<std::string>{InfoHash(fromScratch)});
  ASSERT_TRUE(tracker_->Serving()) << TempDir::Read(dir_.Path("tracker/opentracker.log"));
  const std::string announce = c.udp ? tracker_->UdpAnnounce() : tracker_->HttpAnnounce();
  const std::string announcing = TorrentAnnouncingTo(announce, "announcing.torrent");

  seeder_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/python3", BW_SOURCE_DIR "/tests/integration/tracker_seeder.py", announcing,
                               dir_.Path("www")},
      dir_.Path("seeder.log"));
  ASSERT_TRUE(SeederSays("announced")) << TempDir::Read(dir_.Path("seeder.log"));

  std::vector<std::string> options = {"-t", c.asLine ? fromScratch : announcing, "-o", Target(), "--progress", "json",
                                      "--timeout", "60"};
  if (c.asLine) options.push_back("tracker://" + announce);
  RunBwget(options);
  ExpectTargetIsTheContent();
}

INSTANTIATE_TEST_SUITE_P(Trackers, TrackerDownloadTest,
                         ::testing::Values(TrackerCase{"TorrentAnnounceOverHttp", false, false},
                                           TrackerCase{"TrackerLineOverUdp", true, true}),
                         [](const ::testing::TestParamInfo<TrackerCase>& info) { return info.param.name; });

}  // namespace
}  // namespace bw::test
