#include "reporting/CDataStatisticsImp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "reporting/RecordBody.h"
#include "tests/net/LoopbackServer.h"
#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

using test::StatisticsCollector;

const CancelCheck kNeverCancelled;

std::string Body(std::string_view fileName = "") {
  ReportFigures figures;
  figures.fileName = fileName;
  return FormatRecordBody({"991002085", "1.0.0.1", "v1.0.0.29", "1"}, figures, {});
}

std::string RefusingUrl() { return "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/"; }

class CDataStatisticsImpTest : public ::testing::Test {
 protected:
  void SetUp() override { client_ = std::make_unique<CDataStatisticsImp>(MachineDescription::Read()); }

  // Points the client at a configuration of these servers (the first may be a bare text).
  void Configure(const std::vector<std::string>& urls, const std::string& extra = "") {
    std::ofstream(dir_.Path("dataupload.bwconf")) << test::StatisticsConfigText(urls) << extra;
    ASSERT_EQ(client_->SetConfigPath(dir_.Path("dataupload.bwconf").c_str()), kStatisticsDone);
  }

  // The one batch the collector received.
  static Json::Value OnlyBatch(const StatisticsCollector& collector) {
    EXPECT_TRUE(collector.WaitForPosts(1, 0)) << collector.Log();
    const std::vector<std::string> posts = collector.Posts();
    EXPECT_EQ(posts.size(), 1u);
    return posts.empty() ? Json::Value() : StatisticsCollector::Batch(posts[0]);
  }

  std::string MachineIdentifier() {
    char buffer[64];
    size_t capacity = sizeof buffer;
    return client_->GetMachineIdentifier(buffer, &capacity) == kStatisticsDone ? buffer : "";
  }

  test::TempDir dir_;
  std::unique_ptr<CDataStatisticsImp> client_;
};

TEST_F(CDataStatisticsImpTest, QueueEventRefusesWhatItCannotSend) {
  Configure({"http://127.0.0.1:1/"});
  EXPECT_EQ(client_->QueueEvent(nullptr, Body().c_str(), 0), kStatisticsNothing);
  EXPECT_EQ(client_->QueueEvent("11030000", "", 0), kStatisticsNothing);
  EXPECT_EQ(client_->QueueEvent("11030000", ",\"DVersion\":\"1.8\",\"GameID\":\"1\",\"GVersion\":\"v\"", 0),
            kStatisticsKeywordMissing);
  EXPECT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsDone);

  ASSERT_EQ(client_->SetConfigPath(dir_.Path("missing.bwconf").c_str()), kStatisticsDone);
  EXPECT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsNoConfiguration);
}

TEST_F(CDataStatisticsImpTest, TheTwentyFirstEventBeforeABatchIsLost) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  Configure({collector.Url()});
  for (int i = 0; i < kMaxBatchEvents; ++i) {
    EXPECT_EQ(client_->QueueEvent(std::to_string(11000000 + i).c_str(), Body().c_str(), 0), kStatisticsDone);
  }
  EXPECT_EQ(client_->QueueEvent("11000020", Body().c_str(), 0), kStatisticsBatchFull);
  EXPECT_EQ(client_->SubmitBatch(kNeverCancelled), kStatisticsDone);
  const Json::Value batch = OnlyBatch(collector);
  ASSERT_EQ(batch.size(), 20u);
  for (Json::ArrayIndex i = 0; i < batch.size(); ++i) EXPECT_EQ(batch[i]["code"].asString(), std::to_string(11000000 + i));

  EXPECT_EQ(client_->QueueEvent("11000021", Body().c_str(), 0), kStatisticsDone) << "a submission starts a new batch";
}

// Refused events count towards the batch too; a submission with nothing to send must still start
// a new batch, or the client would stay full for good.
TEST_F(CDataStatisticsImpTest, RefusedEventsDoNotKeepTheNextBatchFull) {
  ASSERT_EQ(client_->SetConfigPath(dir_.Path("missing.bwconf").c_str()), kStatisticsDone);
  for (int i = 0; i < kMaxBatchEvents; ++i) {
    EXPECT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsNoConfiguration);
  }
  EXPECT_EQ(client_->SubmitBatch(kNeverCancelled), kStatisticsNothing);
  EXPECT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsNoConfiguration);
}

TEST_F(CDataStatisticsImpTest, ServersAreTriedInOrderUntilOneAccepts) {
  StatisticsCollector refusing(StatisticsCollector::Answer::kRefuse);
  StatisticsCollector accepting(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(refusing.Running() && accepting.Running());
  const struct {
    const char* name;
    std::vector<std::string> urls;
    int result;
    size_t refusingPosts;  // each collector's posts after the case
    size_t acceptingPosts;
  } cases[] = {
      {"closed port, then an accepting server", {RefusingUrl(), accepting.Url()}, kStatisticsDone, 0, 1},
      {"an error answer, then an accepting one", {refusing.Url(), accepting.Url()}, kStatisticsDone, 1, 2},
      {"accepted by the first: the second is not asked", {accepting.Url(), refusing.Url()}, kStatisticsDone, 1, 3},
      {"nobody accepts", {refusing.Url(), RefusingUrl()}, kStatisticsNothing, 2, 3},
      {"an empty first address is skipped", {"", accepting.Url()}, kStatisticsDone, 2, 4},
      {"not http", {"file:///etc/passwd", accepting.Url()}, kStatisticsDone, 2, 5},
  };
  for (const auto& c : cases) {
    Configure(c.urls);
    ASSERT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsDone) << c.name;
    EXPECT_EQ(client_->SubmitBatch(kNeverCancelled), c.result) << c.name;
    EXPECT_EQ(refusing.Posts().size(), c.refusingPosts) << c.name;
    EXPECT_EQ(accepting.Posts().size(), c.acceptingPosts) << c.name;
  }
  EXPECT_EQ(client_->SubmitBatch(kNeverCancelled), kStatisticsNothing) << "a refused batch is not kept";
}

TEST_F(CDataStatisticsImpTest, EventDocumentsNameTheMachineAroundTheRecord) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  Configure({collector.Url()});
  const std::string fileName = R"(C:\下载\"client" 1.cab)";
  const int flags[] = {0, 1, 7};
  for (int flag : flags) ASSERT_EQ(client_->QueueEvent("11080000", Body(fileName).c_str(), flag), kStatisticsDone);
  ASSERT_EQ(client_->SubmitBatch(kNeverCancelled), kStatisticsDone);
  const Json::Value batch = OnlyBatch(collector);
  ASSERT_TRUE(batch.isArray());
  ASSERT_EQ(batch.size(), 3u);

  const std::string identifier = MachineIdentifier();  // "0x01234567, 0x89ABCDEF"
  ASSERT_TRUE(std::regex_match(identifier, std::regex("0x[0-9A-F]{8}, 0x[0-9A-F]{8}"))) << identifier;
  uint64_t firstSequence = 0;
  for (Json::ArrayIndex i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(batch[i]["code"].asString(), "11080000");
    const Json::Value info = StatisticsCollector::Parse(batch[i]["info"].asString());
    EXPECT_EQ(info["MachId"].asString(), identifier.substr(2, 8) + identifier.substr(14, 8));
    EXPECT_TRUE(std::regex_match(info["Mac"].asString(), std::regex("([0-9A-F]{2}(-[0-9A-F]{2})+)|999")))
        << info["Mac"];
    EXPECT_NE(info["OS"].asString(), "");
    EXPECT_EQ(info["Sessionid"].asString(), "");
    if (i == 0) firstSequence = info["Sequence"].asUInt64();
    EXPECT_EQ(info["Sequence"].asUInt64(), firstSequence + i) << "one number per document, in batch order";
    EXPECT_EQ(info["Filename"].asString(), fileName);
    EXPECT_EQ(info["DVersion"].asString(), "1.8");
    EXPECT_EQ(info["GameID"].asString(), "991002085");
    EXPECT_EQ(info.isMember("CPU"), (flags[i] & 1) != 0);
    EXPECT_EQ(info.isMember("Memory"), (flags[i] & 2) != 0);
    EXPECT_EQ(info.isMember("Video_Card"), (flags[i] & 4) != 0);
  }
  const Json::Value all = StatisticsCollector::Parse(batch[2]["info"].asString());
  for (const char* name : {"CPU_Name", "CPU_Manufacturer", "CPU_Type", "CPU_Architecture"}) {
    EXPECT_TRUE(all["CPU"][name].isString()) << name;
  }
  EXPECT_EQ(all["CPU"]["CPU_Type"].asString(), "Central Processor");
  for (const char* name : {"Memory_Total_Capacity", "Memory_Type", "Memory_Capacity", "Memory_Frequency"}) {
    EXPECT_TRUE(all["Memory"][name].isString()) << name;
  }
  EXPECT_GT(std::stoull(all["Memory"]["Memory_Total_Capacity"].asString()), 0u);
  for (const char* name : {"Video_Card_Name", "Video_Card_Memory_Capacity", "Video_Card_Driver_Version"}) {
    EXPECT_TRUE(all["Video_Card"][name].isString()) << name;
  }
}

TEST_F(CDataStatisticsImpTest, AnEventWhoseDocumentLacksASubmitKeywordIsSentAsNull) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  std::ofstream(dir_.Path("strict.bwconf")) << "[SubmitEventDownload]\nSubmitDataKeyWord=MachId;Nowhere\n"
                                            << "[SubmitEventDownloadSeveral]\nSubmitUrl=" << collector.Url() << "\n";
  ASSERT_EQ(client_->SetConfigPath(dir_.Path("strict.bwconf").c_str()), kStatisticsDone);
  ASSERT_EQ(client_->QueueEvent("11030000", Body().c_str(), 0), kStatisticsDone);
  ASSERT_EQ(client_->QueueEvent("11030000", Body("Nowhere").c_str(), 0), kStatisticsDone);
  ASSERT_EQ(client_->SubmitBatch(kNeverCancelled), kStatisticsDone);
  const Json::Value batch = OnlyBatch(collector);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_TRUE(batch[0].isNull());
  EXPECT_EQ(batch[1]["code"].asString(), "11030000");
}

TEST_F(CDataStatisticsImpTest, MachineIdentifierNeedsRoomForItsTerminator) {
  const std::string identifier = MachineIdentifier();
  ASSERT_EQ(identifier.size(), 22u);
  char buffer[22];
  size_t capacity = sizeof buffer;
  EXPECT_EQ(client_->GetMachineIdentifier(buffer, &capacity), 23);
  EXPECT_EQ(capacity, 23u);
  char exact[23];
  capacity = sizeof exact;
  EXPECT_EQ(client_->GetMachineIdentifier(exact, &capacity), kStatisticsDone);
  EXPECT_EQ(std::string(exact), identifier);
}

TEST(DataStatisticsClassId, OnlyTheClientsOwnIdentifierMakesOne) {
  const std::unique_ptr<IDataStatisticsUser> lower(CreateDataStatisticsUser("{91095a15-3c46-43B5-ba5f-462064037e59}"));
  EXPECT_NE(lower, nullptr);
  EXPECT_EQ(CreateDataStatisticsUser("{91095A15-3C46-43b5-BA5F-462064037E5A}"), nullptr);
  EXPECT_EQ(CreateDataStatisticsUser(""), nullptr);
  EXPECT_EQ(CreateDataStatisticsUser(nullptr), nullptr);
}

}  // namespace
}  // namespace bw
