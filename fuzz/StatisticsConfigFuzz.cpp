// The statistics configuration file: an INI text read with the profile-string rules, then the
// keyword lists and the server list taken from it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/IniFile.h"
#include "reporting/StatisticsConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::IniFile ini;
  ini.Parse(reinterpret_cast<const char*>(data), size);
  const bw::StatisticsConfig config = bw::StatisticsConfig::Read(ini);
  // Every address but a missing first one is a distinct line of the input.
  if (config.serverUrls.empty() || config.serverUrls.size() > size / 12 + 1) __builtin_trap();
  for (const auto* list : {&config.inputKeywords, &config.submitKeywords, &config.serverUrls}) {
    for (const std::string& text : *list) {
      if (text.size() > size) __builtin_trap();
    }
  }
  return 0;
}
