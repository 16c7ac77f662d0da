#pragma once

namespace bw::app::ui {

// What the settings dialog sets, kept by the window for the life of the process.
struct DownloaderSettings {
  int speedLimit = 0;  // KiB/s, 0 for none
  bool shutdownAfterDownload = false;
  bool p2p = true;
};

inline constexpr int kMinSpeedLimit = 10;
inline constexpr int kMaxSpeedLimit = 30000;

}  // namespace bw::app::ui
