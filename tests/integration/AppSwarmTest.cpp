// The downloader's whole flow with a swarm: the package's torrents announce to opentracker, where
// a python3-libtorrent seeder of the five files waits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/AppFixture.h"
#include "tests/integration/LibtorrentPeer.h"
#include "tests/sources/OpentrackerServer.h"

namespace bw::test {
namespace {

class AppSwarmSlow : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    if (IsSkipped()) return;
    if (!LibtorrentPeer::Installed() || !OpentrackerServer::Installed()) {
      GTEST_SKIP() << "python3-libtorrent and opentracker are needed (scripts/deps.sh installs them)";
    }
  }

  // The package naming `base`, whose torrents announce to a tracker that serves them, and a
  // seeder of the demo files that the tracker names.
  void BuildPackageWithSwarm(const NginxServer& base) {
    // The info hashes do not depend on the announce address: a first build gives the whitelist.
    BuildPackage(base);
    tracker_ = std::make_unique<OpentrackerServer>(dir_.Path("tracker"), InfoHashes(PackageTorrents(dir_.Path("t0"))));
    ASSERT_TRUE(tracker_->Serving()) << TempDir::Read(dir_.Path("tracker/opentracker.log"));
    BuildPackage(base, BW_DEMO_PACKAGE_DIR, tracker_->HttpAnnounce());
    std::vector<std::string> argv{"/usr/bin/python3", BW_SOURCE_DIR "/tests/integration/tracker_seeder.py"};
    for (const std::string& torrent : PackageTorrents(dir_.Path("t1"))) argv.push_back(torrent);
    argv.push_back(BW_DEMO_PACKAGE_DIR);
    seeder_ = std::make_unique<ChildProcess>(argv, dir_.Path("seeder.log"));
    ASSERT_TRUE(SeederAnnounced(5)) << TempDir::Read(dir_.Path("seeder.log"));
  }

  std::vector<std::string> InfoHashes(const std::vector<std::string>& torrents) {
    std::vector<std::string> argv{"/usr/bin/python3", "-c",
                                  "import sys, libtorrent as lt\n"
                                  "for t in sys.argv[1:]: print(lt.torrent_info(t).info_hash())"};
    argv.insert(argv.end(), torrents.begin(), torrents.end());
    ChildProcess python(argv, dir_.Path("infohash.log"));
    EXPECT_EQ(python.Wait(60000), 0) << TempDir::Read(dir_.Path("infohash.log"));
    std::vector<std::string> hashes;
    std::istringstream lines(TempDir::Read(dir_.Path("infohash.log")));
    for (std::string line; std::getline(lines, line);) hashes.push_back(line.substr(0, 40));
    return hashes;
  }

  bool SeederAnnounced(size_t torrents) {
    for (int waited = 0; waited < 60000; waited += 50) {
      const std::string log = TempDir::Read(dir_.Path("seeder.log"));
      size_t replies = 0;
      for (size_t at = log.find("announced\n"); at != std::string::npos; at = log.find("announced\n", at + 1)) {
        ++replies;
      }
      if (replies >= torrents) return true;
      if (seeder_->Wait(0) >= 0) return false;
      platform::SleepMs(50);
    }
    return false;
  }

  // The payload the seeder has sent, by its last report.
  int64_t SeederUploaded() const {
    const std::string log = TempDir::Read(dir_.Path("seeder.log"));
    const size_t at = log.rfind("uploaded ");
    return at == std::string::npos ? 0 : std::atoll(log.c_str() + at + 9);
  }

  std::unique_ptr<OpentrackerServer> tracker_;
  std::unique_ptr<ChildProcess> seeder_;
};

// The seeder learns the app from the tracker and dials it (the app's own dials carry a disguise
// libtorrent turns away); the server is slow enough that the seeder gets in before it is done.
// Every file arrives whole, with some of its bytes from the seeder.
TEST_F(AppSwarmSlow, TheTrackersSeederDialsTheAppAndDelivers) {
  NginxServer& base = StartMirror(kFolder, "limit_rate 64k;");
  ServeResourceList("<project><configs><p2p-switch>on</p2p-switch></configs></project>");
  BuildPackageWithSwarm(base);
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "3"}, 60000), 0)
      << LastLog() << TempDir::Read(dir_.Path("seeder.log"));
  EXPECT_EQ(States(1).back(), "finished") << LastLog();
  ExpectSavedFilesAreThePackage();
  EXPECT_GT(SeederUploaded(), 0) << TempDir::Read(dir_.Path("seeder.log")) << LastLog();
  // The finish record counts what the peers gave over the whole download.
  std::string p2pBytes;
  for (const std::string& post : collector_->Posts()) {
    for (const Json::Value& event : StatisticsCollector::Batch(post)) {
      if (event["code"].asString() != "11060000") continue;
      p2pBytes = StatisticsCollector::Parse(event["info"].asString())["P2ptotalbytes"].asString();
    }
  }
  EXPECT_GT(std::atoll(p2pBytes.c_str()), 0) << "P2ptotalbytes of the finish record: \"" << p2pBytes << '"';
}

}  // namespace
}  // namespace bw::test
