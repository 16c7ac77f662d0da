#include "tools/bwconsole/StatusLines.h"

#include <cstdio>

#include "app/ControllerFormat.h"

namespace bwconsole {

std::string StatusLines(const bw::app::ControllerView& view) {
  const char* name = bw::app::StateName(view.state);
  std::string text = "status " + (*name ? std::string(name) : std::to_string(view.state)) + "  " +
                     bw::app::FormatPercent(static_cast<uint32_t>(view.overallProgress)) + "  " + view.sizeText + "  " +
                     view.speedText + (view.diskSpaceLow ? "  (disk space low)" : "");
  if (view.state == bw::app::kStateMd5Checking || view.state == bw::app::kStateCheckRecover) {
    text += "  checked " + bw::app::FormatPercent(static_cast<uint32_t>(view.verifyProgress));
  }
  text += "\n";
  for (int i = 0; i < bw::app::kFileCount; ++i) {
    char line[256];
    std::snprintf(line, sizeof line, "  %-12s %s%s\n", view.fileNames[i].c_str(), view.rowTexts[i].c_str(),
                  view.fileSpeeds[i] ? bw::app::FormatSpeed(view.fileSpeeds[i]).c_str() : "");
    text += line;
  }
  return text;
}

}  // namespace bwconsole
