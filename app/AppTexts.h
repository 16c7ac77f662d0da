#pragma once

namespace bw::app {

// The fixed texts of the downloader.
inline constexpr const char* kCaption = "Tanwyn下载器";
inline constexpr const char* kGameId = "991002085";
inline constexpr const char* kGameVersion = "v1.0.0.29";
inline constexpr const char* kGameVersionText = "游戏版本: 1.0.0.29";
inline constexpr const char* kFallbackAppVersion = "1.0.3";
inline constexpr const char* kChannel = "1";
inline constexpr const char* kDefaultFolderName = "TNW0223";
inline constexpr const char* kStatisticsConfigName = "dataupload.bwconf";

// Every application log line goes to this channel and level of the engine log.
inline constexpr int kAppLogChannel = 34;

}  // namespace bw::app
