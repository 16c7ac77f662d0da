#pragma once
#include <cstdint>
#include <string>

namespace bw::app {

// The controller's texts for sizes, rates and percentages.
std::string FormatSize(uint64_t bytes);            // "" for 0; "%0.1f KB" and up from 1024
std::string FormatSpeed(uint32_t bytesPerSecond);  // "未知" from 0xCCCCCCCC
std::string FormatPercent(uint32_t hundredths);    // "12.05%", "12%", "0%"
// "%u.%02u%%" of hundredths of a percent: the rows' progress.
std::string FormatHundredths(uint32_t hundredths);

}  // namespace bw::app
