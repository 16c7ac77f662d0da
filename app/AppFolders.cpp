#include "app/AppFolders.h"

#include <cstdlib>

#include "app/AppTexts.h"
#include "platform/IniFile.h"
#include "platform/UserFolders.h"

namespace bw::app {
namespace {

constexpr int kDefaultPeerBudget = 35;

}  // namespace

AppFolders BuildFolders(const std::string& identifier) {
  AppFolders folders;
  folders.appFolder = platform::DataHome() + "/TAVI/Brightwillow/Brightwillow" + identifier;
  folders.logBase = folders.appFolder + "/" + identifier;
  folders.iniPath = folders.logBase + ".bwconf";
  return folders;
}

std::vector<std::string> SaveFolderCandidates() {
  std::vector<std::string> candidates = {platform::HomeFolder()};
  for (std::string& volume : platform::MountedVolumes()) candidates.push_back(std::move(volume));
  return candidates;
}

std::string ChooseSaveFolder(const std::vector<std::string>& candidates,
                             const std::function<uint64_t(const std::string&)>& freeBytes) {
  std::string chosen = candidates.empty() ? platform::HomeFolder() : candidates.front();
  uint64_t most = 0;
  for (const std::string& candidate : candidates) {
    const uint64_t free = freeBytes(candidate);
    if (free > most) {
      most = free;
      chosen = candidate;
    }
  }
  return chosen + "/" + kDefaultFolderName;
}

std::string LinkFilePath() { return platform::CurrentFolder() + "/BrightwillowTaskLink.ini"; }

int ReadPeerBudget(const std::string& linkFile) {
  platform::IniFile ini;
  ini.Load(linkFile);
  const std::string text = ini.GetString("BrightwillowTask", "BrightwillowTaskLink");
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= 10 && value <= 200 ? static_cast<int>(value) : kDefaultPeerBudget;
}

}  // namespace bw::app
