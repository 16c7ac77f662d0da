#include "app/ControllerFormat.h"

#include <cstdio>

namespace bw::app {
namespace {

std::string Printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string FormatSize(uint64_t v) {
  if (v == 0) return "";
  if (v >= (1ULL << 40)) return Printed("%0.1f TB", static_cast<double>(v) / (1ULL << 40));
  if (v >= (1ULL << 30)) return Printed("%0.1f GB", static_cast<double>(v) / (1ULL << 30));
  if (v >= (1ULL << 20)) return Printed("%0.1f MB", static_cast<double>(v) / (1ULL << 20));
  if (v >= 1024) return Printed("%0.1f KB", static_cast<double>(v) / 1024);
  return std::to_string(v) + " B";
}

std::string FormatSpeed(uint32_t v) {
  if (v >= 0xCCCCCCCCu) return "未知";
  if (v >= (1u << 30)) return Printed("%0.1f GB/s", static_cast<double>(v) / (1u << 30));
  if (v >= (1u << 20)) return Printed("%0.1f MB/s", static_cast<double>(v) / (1u << 20));
  if (v < 1024) return std::to_string(v) + " B/s";
  return Printed("%0.1f KB/s", static_cast<double>(v) / 1024);
}

std::string FormatHundredths(uint32_t p) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%02u%%", p / 100, p % 100);
  return text;
}

std::string FormatPercent(uint32_t p) {
  if (p == 0) return "0%";
  if (p % 100 != 0) return FormatHundredths(p);
  return std::to_string(p / 100) + "%";
}

}  // namespace bw::app
