#include "platform/UserFolders.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : "";
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

std::vector<std::string> MountedVolumes() {
  std::vector<std::string> volumes;
  const passwd* entry = getpwuid(getuid());
  if (!entry || !entry->pw_name) return volumes;
  const std::string user = entry->pw_name;
  for (const std::string& root : {"/media/" + user, "/run/media/" + user}) {
    std::error_code ec;
    for (const auto& volume : std::filesystem::directory_iterator(root, ec)) {
      if (volume.is_directory(ec) && access(volume.path().c_str(), W_OK) == 0) volumes.push_back(volume.path());
    }
  }
  return volumes;
}

std::string CurrentFolder() {
  std::error_code ec;
  const std::filesystem::path current = std::filesystem::current_path(ec);
  return ec ? "." : current.string();
}

std::string RuntimeFolder() {
  const std::string runtime = AbsoluteVariable("XDG_RUNTIME_DIR");
  if (!runtime.empty()) return runtime;
  const std::string folder = "/tmp/brightwillow-" + std::to_string(getuid());
  mkdir(folder.c_str(), 0700);
  return folder;
}

}  // namespace platform
