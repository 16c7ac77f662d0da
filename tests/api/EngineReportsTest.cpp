// What the engine reports through the statistics upload, and what it takes from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "engine/api/AsyncMessage.h"
#include "engine/api/EngineApi.h"
#include "engine/sources/HostResolution.h"
#include "tests/net/FakeResolver.h"
#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

using test::StatisticsCollector;

class EngineReportsTest : public ::testing::Test {
 protected:
  void TearDown() override { ShutdownReporting(); }

  void Start(const std::vector<std::string>& urls, const char* gameVersion = "v1.0.0.29") {
    test::StartUpload(dir_, urls, gameVersion);
  }

  test::TempDir dir_;
};

struct ShownMessages {
  std::mutex lock;
  std::condition_variable shown;
  std::vector<std::string> texts;
} gMessages;

void CaptureMessage(void*, const char* text, const char*, unsigned) {
  std::lock_guard<std::mutex> hold(gMessages.lock);
  gMessages.texts.push_back(text);
  gMessages.shown.notify_all();
}

std::string ShowAndCapture(const char* text) {
  std::unique_lock<std::mutex> hold(gMessages.lock);
  gMessages.texts.clear();
  hold.unlock();
  EXPECT_EQ(ShowMessageAsync(nullptr, text, "caption", 0), 1);
  hold.lock();
  // A box an earlier test left behind may still arrive: only this text counts.
  const auto ours = [text](const std::string& shown) { return shown.rfind(text, 0) == 0; };
  gMessages.shown.wait_for(hold, std::chrono::seconds(10),
                           [&] { return std::any_of(gMessages.texts.begin(), gMessages.texts.end(), ours); });
  const auto found = std::find_if(gMessages.texts.begin(), gMessages.texts.end(), ours);
  return found == gMessages.texts.end() ? "" : *found;
}

TEST_F(EngineReportsTest, MessageBoxesShowTheIdentifierOfAUsableUpload) {
  SetMessageBoxHook(CaptureMessage);
  SetReportingIdentifier("");
  EXPECT_EQ(ShowAndCapture("下载失败"), "下载失败");
  Start({"http://127.0.0.1:1/"}, "");  // no game version: not usable
  EXPECT_EQ(ShowAndCapture("下载失败"), "下载失败");
  ShutdownReporting();
  Start({"http://127.0.0.1:1/"});
  EXPECT_TRUE(std::regex_match(ShowAndCapture("下载失败"), std::regex("下载失败\n（0x[0-9A-F]{8}, 0x[0-9A-F]{8}）")));
  SetMessageBoxHook(nullptr);
  SetReportingIdentifier("");
}

TEST_F(EngineReportsTest, TheFirstFailedHostLookupAfterASuccessIsReported) {
  StatisticsCollector collector(StatisticsCollector::Answer::kAccept);
  ASSERT_TRUE(collector.Running());
  test::FakeResolver resolver;
  resolver.Set("ok.test", {0, {test::Ip(10, 0, 0, 1)}});
  resolver.SetNameServers({"10.0.0.53"});
  ASSERT_EQ(InitEngine(dir_.Path().c_str()), kEngineOk);
  Start({collector.Url()});
  std::vector<uint32_t> list;
  ASSERT_EQ(ResolveHostList("ok.test", list, 1000), 1);
  EXPECT_EQ(ResolveHostList("bad.test", list, 100), -1);
  EXPECT_EQ(ResolveHostList("bad.test", list, 100), -1);
  const bool arrived = collector.WaitForPosts(1, 10000);
  UninitEngine();
  ASSERT_TRUE(arrived) << collector.Log();
  const Json::Value batch = StatisticsCollector::Batch(collector.Posts().front());
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0]["code"].asString(), "11500106");
  EXPECT_EQ(StatisticsCollector::Parse(batch[0]["info"].asString())["Errormsg"].asString(),
            "ErrCode : (11001) Host : (bad.test) , DNS : (10.0.0.53)");
}

}  // namespace
}  // namespace bw
