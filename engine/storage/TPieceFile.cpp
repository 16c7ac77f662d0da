#include "engine/storage/TPieceFile.h"

#include "platform/File.h"

namespace bw {

void TPieceFile::SetFinalPath(const std::string& finalPath) {
  if (platform::PathExists(finalPath)) {
    Path = finalPath;
    FinalPath.clear();
    UsesTempName = false;
  } else {
    Path = finalPath + kTempSuffix;
    FinalPath = finalPath;
    UsesTempName = true;
  }
}

bool TPieceFile::FinishFile() {
  if (!UsesTempName) return true;
  Handle.Close();
  // An empty file is never written, so its final name is created here.
  if (Length == 0 && !platform::PathExists(Path)) {
    platform::MakeDirectories(platform::DirectoryOf(FinalPath));
    int fd = platform::OpenFile(FinalPath, platform::OpenMode::ReadWrite);
    if (fd < 0) return false;
    platform::CloseFile(fd);
  } else if (platform::RenamePath(Path, FinalPath) != 0) {
    return false;
  }
  platform::SyncDirectory(platform::DirectoryOf(FinalPath));
  Path = FinalPath;
  FinalPath.clear();
  UsesTempName = false;
  return true;
}

}  // namespace bw
