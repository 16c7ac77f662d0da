#include "tools/bwget/ProgressDisplay.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace bwget {
namespace {

constexpr int kBarCells = 24;

void AppendJsonString(std::string* out, const char* text) {
  out->push_back('"');
  for (const char* c = text; *c; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\') {
      out->push_back('\\');
      out->push_back(*c);
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out->append(escape);
    } else {
      out->push_back(*c);
    }
  }
  out->push_back('"');
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) return "--:--";
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600, static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  }
  return text;
}

std::string ProgressJson(const bw::TaskProgress& p) {
  std::string out = "{\"name\":";
  AppendJsonString(&out, p.name);
  char figures[256];
  std::snprintf(figures, sizeof figures,
                ",\"progress\":%d,\"status\":%d,\"speed\":%d,\"remaining\":%d,\"totalKiB\":%d,"
                "\"httpBytes\":%" PRIu64 ",\"p2pBytes\":%" PRIu64 ",\"doneBytes\":%" PRIu64 "}",
                p.progress, p.status, p.speed, p.remaining, p.totalKiB, p.httpBytes, p.p2pBytes, p.doneBytes);
  return out + figures;
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) std::snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
  else std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void ProgressDisplay::Update(const bw::TaskProgress& progress, Clock::time_point now) {
  if (style_ == ProgressStyle::kBar) {
    DrawBar(progress);
  } else if (style_ == ProgressStyle::kJson && now - lastJson_ >= std::chrono::seconds(1)) {
    WriteJson(progress);
    lastJson_ = now;
  }
}

void ProgressDisplay::Close(const bw::TaskProgress& progress) {
  if (style_ == ProgressStyle::kBar) {
    DrawBar(progress);
    std::fputc('\n', stderr);
    barWidth_ = 0;
  } else if (style_ == ProgressStyle::kJson) {
    WriteJson(progress);
  }
}

void ProgressDisplay::Message(const std::string& text) {
  if (barWidth_ > 0) {
    std::fputc('\n', stderr);
    barWidth_ = 0;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

void ProgressDisplay::DrawBar(const bw::TaskProgress& p) {
  std::string line;
  const uint64_t total = static_cast<uint64_t>(p.totalKiB) * 1024;
  char head[64];
  if (total > 0) {
    const int filled = std::clamp(p.progress, 0, 10000) * kBarCells / 10000;
    line.push_back('[');
    line.append(filled, '#').append(kBarCells - filled, '.').push_back(']');
    std::snprintf(head, sizeof head, " %5.1f%%  ", p.progress / 100.0);
    line += head + FormatBytes(p.doneBytes) + " / " + FormatBytes(total);
  } else {
    line = FormatBytes(p.doneBytes);
  }
  line += "  " + FormatBytes(static_cast<uint64_t>(p.speed > 0 ? p.speed : 0)) + "/s";
  if (p.progress >= 10000) line += "  done";
  else if (total > 0) line += "  " + FormatDuration(p.speed > 0 ? p.remaining : -1) + " left";
  const size_t width = line.size();
  if (width < barWidth_) line.append(barWidth_ - width, ' ');
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  barWidth_ = width;
}

void ProgressDisplay::WriteJson(const bw::TaskProgress& progress) {
  std::fprintf(stdout, "%s\n", ProgressJson(progress).c_str());
  std::fflush(stdout);
}

}  // namespace bwget
