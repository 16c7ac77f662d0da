#pragma once
#include <string>
#include <vector>

namespace platform {

// The user's folders, standing in for the system's special folders and drive letters.

// $HOME when it is absolute, else the password database's entry, else "/tmp".
std::string HomeFolder();
// $XDG_DATA_HOME when it is absolute, else ~/.local/share: the application data folder.
std::string DataHome();
// The volumes the desktop mounts for the user (/media/<user>/*, /run/media/<user>/*) that the
// user may write to.
std::vector<std::string> MountedVolumes();
// The process's current folder, "." when it cannot be told.
std::string CurrentFolder();
// Where the user's sockets and locks live: $XDG_RUNTIME_DIR, else a private folder under /tmp.
std::string RuntimeFolder();

}  // namespace platform
