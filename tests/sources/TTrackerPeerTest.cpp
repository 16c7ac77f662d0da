#include "engine/sources/TTrackerPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/sources/TrackerReply.h"
#include "platform/Thread.h"
#include "tests/sources/FakePeerTask.h"
#include "tests/sources/OpentrackerServer.h"
#include "tests/sources/UrlSourceSupport.h"
#include "tests/support/Require.h"

namespace bw {
namespace {

using test::Source;

// A task that announces fixed facts and keeps what its trackers answered.
class AnnouncingTask : public test::FakePeerTask {
 public:
  AnnouncingTask(const uint8_t (&infoHash)[20], char idLetter, int32_t listenPort) : FakePeerTask(16384, 16384) {
    std::memcpy(facts.infoHash, infoHash, 20);
    std::memset(facts.peerId, idLetter, 20);
    facts.listenPort = listenPort;
    facts.left = 16384;
  }
  bool GetAnnounceFacts(TAnnounceFacts* out) override {
    *out = facts;
    return true;
  }
  void TrackerAnswered(int64_t interval, const std::string& report) override {
    intervals.push_back(interval);
    reports.push_back(report);
  }

  TAnnounceFacts facts;
  std::vector<int64_t> intervals;
  std::vector<std::string> reports;
};

// Steps the announce as the task's pool does, a few seconds at most. False when a step failed
// before an answer was used.
bool Announce(TTrackerPeer& peer, TPeerId* tracker) {
  if (!peer.ConnectTo(tracker)) return false;
  for (int i = 0; i < 3000 && peer.workState != TPeerObject::kFinished; ++i) {
    if (!peer.DownloadStep()) return peer.workState == TPeerObject::kFinished;
    platform::SleepMs(1);
  }
  return peer.workState == TPeerObject::kFinished;
}

std::string Hex(const uint8_t (&bytes)[20]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

class TTrackerPeerOpentrackerTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr uint8_t kListed[20] = {0x16, 0x10, 0x8f, 0x86, 0xc3, 0x3a, 0xbd, 0x30, 0xcb, 0x31,
                                          0x7d, 0xf9, 0xd7, 0x5e, 0x07, 0x74, 0xa6, 0xb4, 0x43, 0xd4};

  void StartTracker() {
    if (!test::OpentrackerServer::Installed()) GTEST_SKIP() << "opentracker is needed (scripts/deps.sh installs it)";
    tracker_ = std::make_unique<test::OpentrackerServer>(dir_.Path("tracker"), std::vector<std::string>{Hex(kListed)});
    ASSERT_TRUE(tracker_->Running()) << test::TempDir::Read(dir_.Path("tracker/opentracker.log"));
  }

  std::string TrackerLine() const {
    return "tracker://" + (GetParam() ? tracker_->UdpAnnounce() : tracker_->HttpAnnounce());
  }

  test::TempDir dir_;
  std::unique_ptr<test::OpentrackerServer> tracker_;
};

// The second of two announcers of one torrent learns where the first listens, with the
// tracker's own interval.
TEST_P(TTrackerPeerOpentrackerTest, AnnouncersFindEachOther) {
  BW_REQUIRE(StartTracker());
  Source line(TrackerLine());
  ASSERT_TRUE(line.parsed);
  AnnouncingTask first(kListed, 'A', 7001);
  AnnouncingTask second(kListed, 'B', 7002);
  TTrackerPeer firstPeer(&first, TTrackerPeer::kStarted);
  TTrackerPeer secondPeer(&second, TTrackerPeer::kStarted);
  ASSERT_TRUE(Announce(firstPeer, line.id));
  ASSERT_TRUE(Announce(secondPeer, line.id));

  bool foundFirst = false;
  for (const auto& [address, priority] : second.added) foundFirst |= address == "btnode://127.0.0.1:7001";
  EXPECT_TRUE(foundFirst) << (second.reports.empty() ? "no report" : second.reports.back());
  ASSERT_EQ(second.intervals.size(), 1u);
  EXPECT_GT(second.intervals[0], kMinTrackerInterval);
  EXPECT_NE(second.intervals[0], kDefaultTrackerInterval) << "the tracker's interval was not read";
  EXPECT_NE(second.reports[0].find(" peers, interval "), std::string::npos) << second.reports[0];
}

// A torrent the tracker does not serve: its words reach the report, and nobody is added.
TEST_P(TTrackerPeerOpentrackerTest, RefusalReachesTheReport) {
  BW_REQUIRE(StartTracker());
  Source line(TrackerLine());
  const uint8_t unlisted[20] = {1, 2, 3};
  AnnouncingTask task(unlisted, 'C', 7003);
  TTrackerPeer peer(&task, TTrackerPeer::kStarted);
  ASSERT_TRUE(Announce(peer, line.id));
  EXPECT_TRUE(task.added.empty());
  ASSERT_EQ(task.reports.size(), 1u);
  EXPECT_NE(task.reports[0].find("failure reason \""), std::string::npos) << task.reports[0];
}

INSTANTIATE_TEST_SUITE_P(OverHttpAndUdp, TTrackerPeerOpentrackerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Udp" : "Http"; });

}  // namespace
}  // namespace bw
