#include "reporting/StatisticsConfig.h"

#include <string_view>

namespace bw {
namespace {

constexpr const char* kKeywordSection = "SubmitEventDownload";
constexpr const char* kServerSection = "SubmitEventDownloadSeveral";
constexpr const char* kServerKey = "SubmitUrl";

std::vector<std::string> SplitKeywords(std::string_view list) {
  std::vector<std::string> keywords;
  while (!list.empty()) {
    const size_t end = list.find(';');
    const std::string_view keyword = list.substr(0, end);
    if (!keyword.empty()) keywords.emplace_back(keyword);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return keywords;
}

}  // namespace

StatisticsConfig StatisticsConfig::Read(const platform::IniFile& ini) {
  StatisticsConfig config;
  config.inputKeywords = SplitKeywords(ini.GetString(kKeywordSection, "InputDataKeyWord"));
  config.submitKeywords = SplitKeywords(ini.GetString(kKeywordSection, "SubmitDataKeyWord"));
  config.serverUrls.push_back(ini.GetString(kServerSection, kServerKey));
  for (int counter = 1;; ++counter) {
    std::string url = ini.GetString(kServerSection, kServerKey + std::to_string(counter));
    if (url.empty()) break;
    config.serverUrls.push_back(std::move(url));
  }
  return config;
}

}  // namespace bw
