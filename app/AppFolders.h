#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw::app {

// Where the application keeps its files on this platform, from the XDG base directories.
struct AppFolders {
  std::string appFolder;  // $XDG_DATA_HOME/TAVI/Brightwillow/Brightwillow<identifier>
  std::string iniPath;    // the record file: appFolder/<identifier>.bwconf
  std::string logBase;    // the same without the extension
};

AppFolders BuildFolders(const std::string& identifier);

// Folders a download may be saved under: the home folder first, then the removable and mounted
// volumes the desktop mounts for the user (/media/<user>/*, /run/media/<user>/*).
std::vector<std::string> SaveFolderCandidates();
// The candidate with the most free space (a later one wins only with strictly more) + "/TNW0223";
// the first candidate when none has any.
std::string ChooseSaveFolder(const std::vector<std::string>& candidates,
                             const std::function<uint64_t(const std::string&)>& freeBytes);

// The link file in the current folder, and the peer budget it holds: 10..200, otherwise 35.
std::string LinkFilePath();
int ReadPeerBudget(const std::string& linkFile);

}  // namespace bw::app
