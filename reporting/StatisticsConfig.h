#pragma once
#include <string>
#include <vector>

#include "platform/IniFile.h"

namespace bw {

// The statistics configuration ("dataupload.bwconf"): the names every record must mention, the
// names every event document must mention, and the server addresses in the order they are tried.
struct StatisticsConfig {
  std::vector<std::string> inputKeywords;   // "SubmitEventDownload" / "InputDataKeyWord", ";"-separated
  std::vector<std::string> submitKeywords;  // "SubmitEventDownload" / "SubmitDataKeyWord"
  // "SubmitEventDownloadSeveral" / "SubmitUrl", then "SubmitUrl1", "SubmitUrl2", ... up to the
  // first that is empty or missing. The first may itself be empty.
  std::vector<std::string> serverUrls;

  static StatisticsConfig Read(const platform::IniFile& ini);
};

}  // namespace bw
