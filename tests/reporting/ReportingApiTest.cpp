#include "reporting/ReportingApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

using test::StatisticsCollector;
using Clock = std::chrono::steady_clock;

// Longer than one hand-over period of the upload thread.
constexpr uint32_t kQuietMs = 1500;

class ReportingApiTest : public ::testing::Test {
 protected:
  void TearDown() override { ShutdownReporting(); }

  void Start(const std::vector<std::string>& urls, const char* gameVersion = "v1.0.0.29") {
    test::StartUpload(dir_, urls, gameVersion);
  }

  static Json::Value FirstBatch(const StatisticsCollector& collector) {
    if (!collector.WaitForPosts(1, 10000)) {
      ADD_FAILURE() << "nothing arrived at the collector\n" << collector.Log();
      return {};
    }
    return StatisticsCollector::Batch(collector.Posts().front());
  }

  static Json::Value Info(const Json::Value& event) { return StatisticsCollector::Parse(event["info"].asString()); }

  test::TempDir dir_;
};

TEST_F(ReportingApiTest, EventsOfOneSecondArriveAsOneBatch) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  Start({collector.Url()});
  const std::string fileName = R"(D:\游戏\"client"\\data.cab)";
  ReportEvent("11030000", "", 0);
  ReportFileEvent("11080000", fileName.c_str(), "");
  ReportEvent("11500105", "uPnP失败，获取IGD设备超时", 1);
  const Json::Value batch = FirstBatch(collector);
  ASSERT_EQ(batch.size(), 3u) << batch;
  EXPECT_EQ(batch[0]["code"].asString(), "11030000");
  EXPECT_EQ(batch[1]["code"].asString(), "11080000");
  EXPECT_EQ(batch[2]["code"].asString(), "11500105");

  const Json::Value plain = Info(batch[0]);
  for (const char* number : {"Totaltime", "Intime", "Totalbytes", "Intotalbytes", "Averagespeed", "Httptotalbytes",
                             "Inhttptotalbytes", "Httpaveragespeed", "P2ptotalbytes", "Inp2ptotalbytes",
                             "P2paveragespeed", "Corruptpakid"}) {
    EXPECT_EQ(plain[number].asString(), "0") << number;
  }
  for (const char* text : {"Serverip", "Httpresult", "Progress", "Filename", "Url", "Errormsg"}) {
    EXPECT_EQ(plain[text].asString(), "") << text;
  }
  EXPECT_EQ(plain["GameID"].asString(), "991002085");
  EXPECT_EQ(plain["AppVersion"].asString(), "1.0.0.1");
  EXPECT_EQ(plain["GVersion"].asString(), "v1.0.0.29");
  EXPECT_EQ(plain["Dchannel"].asString(), "1");
  EXPECT_FALSE(plain.isMember("CPU"));
  EXPECT_EQ(Info(batch[1])["Filename"].asString(), fileName);
  const Json::Value upnp = Info(batch[2]);
  EXPECT_EQ(upnp["Errormsg"].asString(), "uPnP失败，获取IGD设备超时");
  EXPECT_TRUE(upnp.isMember("CPU"));
}

TEST_F(ReportingApiTest, ReportsBeyondTwentyBeforeABatchAreLost) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  Start({collector.Url()});
  for (int i = 0; i < 25; ++i) ReportEvent(std::to_string(11000000 + i).c_str(), "", 0);
  const Json::Value batch = FirstBatch(collector);
  ASSERT_EQ(batch.size(), 20u);
  for (Json::ArrayIndex i = 0; i < batch.size(); ++i) EXPECT_EQ(batch[i]["code"].asString(), std::to_string(11000000 + i));
  platform::SleepMs(kQuietMs);
  EXPECT_EQ(collector.Posts().size(), 1u) << "the reports past the twentieth came back later";
}

TEST_F(ReportingApiTest, ReportsOutsideARunningUsableUploadAreIgnored) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  ReportEvent("11000001", "before the start", 0);
  Start({collector.Url()}, "");  // no game version: not usable
  ReportEvent("11000002", "without a game version", 0);
  platform::SleepMs(kQuietMs);
  ShutdownReporting();
  EXPECT_TRUE(collector.Posts().empty());

  Start({collector.Url()});
  ReportEvent("11000003", "counted", 0);
  const Json::Value batch = FirstBatch(collector);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0]["code"].asString(), "11000003");
  ShutdownReporting();
  ReportEvent("11000004", "after the shutdown", 0);
  platform::SleepMs(kQuietMs);
  EXPECT_EQ(collector.Posts().size(), 1u);
}

// What is reported just before the end (the reason for an exit) still reaches the server.
TEST_F(ReportingApiTest, ReportsQueuedAtTheShutdownAreSentOnce) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  Start({collector.Url()});
  ReportEvent("11040000", "the last words", 0);
  ShutdownReporting();
  ASSERT_EQ(collector.Posts().size(), 1u) << collector.Log();
  const Json::Value batch = StatisticsCollector::Batch(collector.Posts().front());
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0]["code"].asString(), "11040000");
}

// The client gives a server 6 seconds; a stop must not wait for them.
TEST_F(ReportingApiTest, AServerThatNeverAnswersHoldsNeitherReportsNorTheShutdown) {
  StatisticsCollector collector(StatisticsCollector::Answer::kNever);
  ASSERT_TRUE(collector.Running());
  Start({collector.Url()});
  ReportEvent("11030000", "", 0);
  ASSERT_TRUE(collector.WaitForPosts(1, 10000)) << collector.Log();
  const Clock::time_point posted = Clock::now();
  for (int i = 0; i < 100; ++i) ReportEvent("11050000", "while the server hangs", 0);
  ShutdownReporting();
  EXPECT_LT(Clock::now() - posted, std::chrono::seconds(3));
}

}  // namespace
}  // namespace bw
