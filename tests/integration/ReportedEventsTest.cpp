// Events of a download reach a statistics server when the download tool is given its
// configuration.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/support/StatisticsCollector.h"

namespace bw::test {
namespace {

class ReportedEventsTest : public DownloadFixture {};

// Every piece the lying mirror delivers fails its check, and each failure names the mirror.
TEST_F(ReportedEventsTest, APieceFromALyingMirrorIsReportedWithTheMirrorsAddress) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  const std::string config = dir_.Path("dataupload.bwconf");
  std::ofstream(config) << StatisticsConfigText({collector.Url()});
  MakeContent(16 << 20);
  WriteFile("liar", RandomContent(content_.size()));
  NginxServer& liar = StartMirror("", "liar");
  // The seconds of seeding give the upload thread time to hand over the last events.
  std::vector<std::string> options = {"-t", MakeTorrent(18), "-o", Target(), "--stats", config,
                                      "--seed", "2", "--timeout", "20", MirrorUrl(liar)};
  for (int i = 0; i < 2; ++i) options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  StopMirrors();
  ASSERT_GT(liar.BytesSent(), 0) << "the lying mirror was never asked: nothing was tested";

  int failures = 0;
  for (const std::string& post : collector.Posts()) {
    const Json::Value batch = StatisticsCollector::Batch(post);
    for (const Json::Value& event : batch) {
      const Json::Value info = StatisticsCollector::Parse(event["info"].asString());
      EXPECT_EQ(event["code"].asString(), "11500101") << info;
      EXPECT_EQ(info["Errormsg"].asString(), MirrorUrl(liar));
      EXPECT_EQ(info["GameID"].asString(), "bwget");
      ++failures;
    }
  }
  EXPECT_GE(failures, 1) << collector.Log() << lastOutput_;
}

}  // namespace
}  // namespace bw::test
