#pragma once
#include <cstdint>
#include <string>

#include "engine/storage/QDiskFile.h"

namespace bw {

// One file of a torrent on disk, in torrent order.
class TPieceFile {
 public:
  static constexpr int32_t kDeselected = -3;
  static constexpr const char* kTempSuffix = ".bwtmp";

  // Uses the final path when that file already exists, else the ".bwtmp" name beside it.
  void SetFinalPath(const std::string& finalPath);
  // Renames the ".bwtmp" file to its final name; on failure nothing changes.
  bool FinishFile();
  bool Deselected() const { return Selection == kDeselected; }

  QDiskFile Handle;
  int32_t Index = 0;
  int32_t Selection = 0;
  std::string Path;
  std::string RelativePath;
  std::string FinalPath;
  bool UsesTempName = false;
  int64_t Length = 0;
  int64_t Offset = 0;
  int32_t FirstPiece = 0;
  int32_t PieceCount = 0;
};

}  // namespace bw
