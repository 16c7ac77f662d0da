#include "engine/storage/TorrentPath.h"

namespace bw {

bool IsSafePathComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string CleanPathText(std::string path) {
  for (char& c : path) {
    if (c == '?' || c == '\r' || c == '\n') c = '_';
  }
  return path;
}

std::string WithTrailingSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace bw
