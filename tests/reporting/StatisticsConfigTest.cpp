#include "reporting/StatisticsConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

StatisticsConfig Read(const std::string& text) {
  platform::IniFile ini;
  ini.Parse(text.data(), text.size());
  return StatisticsConfig::Read(ini);
}

using Texts = std::vector<std::string>;

TEST(StatisticsConfig, ReadsTheApplicationsConfiguration) {
  const StatisticsConfig config = Read(test::StatisticsConfigText({"http://a:8080/s", "http://b/s", "http://c/s"}));
  EXPECT_EQ(config.inputKeywords, (Texts{"DVersion", "GameID", "GVersion", "AppVersion"}));
  EXPECT_EQ(config.submitKeywords, (Texts{"MachId", "Mac", "OS"}));
  EXPECT_EQ(config.serverUrls, (Texts{"http://a:8080/s", "http://b/s", "http://c/s"}));
}

TEST(StatisticsConfig, ServerListEndsAtTheFirstMissingNumber) {
  const struct {
    const char* lines;
    Texts urls;
  } cases[] = {
      {"SubmitUrl=u0\nSubmitUrl1=u1\nSubmitUrl3=u3\n", {"u0", "u1"}},
      {"SubmitUrl1=u1\nSubmitUrl2=u2\n", {"", "u1", "u2"}},  // an empty first is kept (and skipped when posting)
      {"SubmitUrl=u0\nSubmitUrl1=\nSubmitUrl2=u2\n", {"u0"}},
      {"SubmitUrl2=u2\nSubmitUrl=u0\nSubmitUrl1=u1\nSubmitUrl10=u10\n", {"u0", "u1", "u2"}},
      {"", {""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(std::string("[SubmitEventDownloadSeveral]\n") + c.lines).serverUrls, c.urls) << c.lines;
  }
}

TEST(StatisticsConfig, KeywordListsSkipEmptyNames) {
  const StatisticsConfig config = Read("[SubmitEventDownload]\nInputDataKeyWord=;A;;B;\nSubmitDataKeyWord=\n");
  EXPECT_EQ(config.inputKeywords, (Texts{"A", "B"}));
  EXPECT_TRUE(config.submitKeywords.empty());
}

}  // namespace
}  // namespace bw
