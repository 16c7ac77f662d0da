// P2SP tasks (a torrent plus HTTP mirrors) run by the download tool against real nginx mirrors.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"

namespace bw::test {
namespace {

class P2spDownloadTest : public DownloadFixture {
 protected:
  // Options of a P2SP task into the target; a stalled task ends instead of waiting for ever.
  std::vector<std::string> Options(const std::string& torrent, int timeoutSeconds = 20) const {
    return {"-t", torrent, "-o", Target(), "--progress", "json", "--timeout", std::to_string(timeoutSeconds)};
  }
};

TEST_F(P2spDownloadTest, ThreeMirrorsEachDeliverPartOfTheContent) {
  MakeContent(64 << 20);
  std::vector<std::string> options = Options(MakeTorrent(18));
  for (int i = 0; i < 3; ++i) options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  EXPECT_FALSE(std::filesystem::exists(Target() + ".bwtmp"));
  EXPECT_FALSE(std::filesystem::exists(Target() + ".bwinfo")) << "a complete task keeps no info file";
  StopMirrors();
  for (const auto& mirror : mirrors_) EXPECT_GT(mirror->BytesSent(), 0) << mirror->Url("/");
  EXPECT_GE(SentByAll(), static_cast<int64_t>(content_.size()));
}

// A mirror that holds each connection to a rate is filled by several connections; one that
// gives a connection more than such a rate keeps the one it has.
TEST_F(P2spDownloadTest, AMirrorGetsSeveralConnectionsOnlyWhenItHoldsEachToARate) {
  struct Case {
    const char* rate;
    int64_t size;  // lasting a few seconds at that rate
    int pieceLog;  // ranges of a few pieces: longer than the second nginx sends at once
    bool several;
  };
  for (const Case& c : {Case{"1m", 16 << 20, 20, true}, Case{"24m", 64 << 20, 18, false}}) {
    SCOPED_TRACE(c.rate);
    MakeContent(c.size);
    std::vector<std::string> options = Options(MakeTorrent(c.pieceLog));
    NginxServer& mirror = StartMirror(std::string("limit_rate ") + c.rate + ";");
    options.push_back(MirrorUrl(mirror));
    RunBwget(options);
    ExpectTargetIsTheContent();
    StopMirrors();
    // Each range is a request of its own: what counts is how many were served at once.
    const std::vector<AccessEntry> requests = mirror.Requests();
    size_t most = 0;
    for (const AccessEntry& r : requests) {
      const double at = r.end - r.seconds + 0.05;
      most = std::max<size_t>(most, std::count_if(requests.begin(), requests.end(), [at](const AccessEntry& o) {
                                return o.end - o.seconds <= at && at < o.end;
                              }));
    }
    EXPECT_EQ(most > 1, c.several) << most << " at once\n" << MirrorRequests();
    std::filesystem::remove(Target());
  }
}

// Pieces from a mirror with other bytes of the same size fail their hash; the others fill them,
// and the mirror charged for them is given less than any honest one.
TEST_F(P2spDownloadTest, MirrorServingOtherBytesCannotSpoilTheFile) {
  // Large enough that what a mirror pushes into the connection before it is cut off (a few MiB)
  // stays well below an honest mirror's share.
  MakeContent(64 << 20);
  WriteFile("liar", RandomContent(content_.size()));
  std::vector<std::string> options = Options(MakeTorrent(18));
  NginxServer& liar = StartMirror("", "liar");
  options.push_back(MirrorUrl(liar));
  for (int i = 0; i < 2; ++i) options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  StopMirrors();
  EXPECT_GT(liar.BytesSent(), 0) << "the lying mirror was never asked: nothing was tested";
  for (const auto& mirror : mirrors_) {
    if (mirror.get() != &liar) {
      EXPECT_LT(liar.BytesSent(), mirror->BytesSent()) << MirrorRequests();
    }
  }
}

TEST_F(P2spDownloadTest, OthersFinishWhenAMirrorDisappearsHalfWay) {
  MakeContent(16 << 20);
  std::vector<std::string> options = Options(MakeTorrent(18));
  options.insert(options.end(), {"--limit", "4096"});  // about four seconds
  for (int i = 0; i < 3; ++i) options.push_back(MirrorUrl(StartMirror()));
  std::unique_ptr<BwgetProcess> bwget = StartBwget(options);
  const int64_t size = static_cast<int64_t>(content_.size());
  ASSERT_TRUE(bwget->WaitForReceived(size / 4, 30000)) << bwget->Tail() << MirrorRequests();
  mirrors_[1]->Stop();
  EXPECT_LT(bwget->Progress().back().httpBytes, size * 3 / 4) << "the mirror stopped too late to matter";
  EXPECT_EQ(bwget->Wait(60000), 0) << bwget->Tail() << MirrorRequests();
  ExpectTargetIsTheContent();
}

// A P2SP task waits for sources for ever, as peers may still come; only --timeout ends it.
TEST_F(P2spDownloadTest, TaskWhoseMirrorsAllFailWaitsUntilTheTimeout) {
  MakeContent(1 << 20);
  std::vector<std::string> options = Options(MakeTorrent(18), 5);
  NginxServer& empty = StartMirror("", "empty");
  options.push_back(MirrorUrl(empty));  // 404
  options.push_back("http://127.0.0.1:" + std::to_string(FreePort()) + "/data.bin");  // refused
  RunBwget(options, 2, 60000);
  EXPECT_GE(lastSeconds_, 5);
  EXPECT_EQ(lastOutput_.find("20214: "), std::string::npos) << lastOutput_;
  EXPECT_FALSE(std::filesystem::exists(Target()));
  StopMirrors();
  EXPECT_GE(Answers(empty, 404), 1) << "the failing mirror was never asked: nothing was tested";
}

}  // namespace
}  // namespace bw::test
