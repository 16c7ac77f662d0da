#include "app/AppFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/AppTexts.h"
#include "platform/IniFile.h"

namespace bw::app {
namespace {

constexpr int kDefaultPeerBudget = 35;

std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : "";
}

std::string UserName() {
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_name ? entry->pw_name : "";
}

}  // namespace

std::string HomeFolder() {
  std::string home = AbsoluteVariable("HOME");
  if (home.empty()) {
    const passwd* entry = getpwuid(getuid());
    if (entry && entry->pw_dir && entry->pw_dir[0] == '/') home = entry->pw_dir;
  }
  return home.empty() ? "/tmp" : home;
}

std::string DataHome() {
  const std::string data = AbsoluteVariable("XDG_DATA_HOME");
  return data.empty() ? HomeFolder() + "/.local/share" : data;
}

AppFolders BuildFolders(const std::string& identifier) {
  AppFolders folders;
  folders.appFolder = DataHome() + "/TAVI/Brightwillow/Brightwillow" + identifier;
  folders.logBase = folders.appFolder + "/" + identifier;
  folders.iniPath = folders.logBase + ".bwconf";
  return folders;
}

std::vector<std::string> SaveFolderCandidates() {
  std::vector<std::string> candidates = {HomeFolder()};
  const std::string user = UserName();
  if (user.empty()) return candidates;
  for (const std::string& root : {"/media/" + user, "/run/media/" + user}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
      if (entry.is_directory(ec) && access(entry.path().c_str(), W_OK) == 0) candidates.push_back(entry.path());
    }
  }
  return candidates;
}

std::string ChooseSaveFolder(const std::vector<std::string>& candidates,
                             const std::function<uint64_t(const std::string&)>& freeBytes) {
  std::string chosen = candidates.empty() ? HomeFolder() : candidates.front();
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

std::string LinkFilePath() {
  std::error_code ec;
  const std::filesystem::path current = std::filesystem::current_path(ec);
  return (ec ? std::string(".") : current.string()) + "/BrightwillowTaskLink.ini";
}

int ReadPeerBudget(const std::string& linkFile) {
  platform::IniFile ini;
  ini.Load(linkFile);
  const std::string text = ini.GetString("BrightwillowTask", "BrightwillowTaskLink");
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= 10 && value <= 200 ? static_cast<int>(value) : kDefaultPeerBudget;
}

}  // namespace bw::app
