#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/common/BlockSize.h"
#include "engine/storage/TPieceFile.h"

namespace bw {

class QElement;

// The files of a torrent as laid out under the save folder, read from its info dictionary.
class TFileLayout {
 public:
  static constexpr int64_t kMaxPieceLength = 64 * 1024 * 1024;
  static constexpr const char* kDefaultName = "strRecommend";

  // False for anything that cannot be laid out safely: a malformed dictionary, a piece length
  // that is not a positive multiple of 16 KiB up to 64 MiB, a name or path component that
  // could lead outside the save folder, or two entries that would be one path on disk (the same
  // path, or a file where another entry needs a folder). Directory entries of length 0 are created on disk.
  bool Build(const QElement& info, const std::string& saveDirectory, const std::string& targetPath);

  // Pieces touched by a file of `length` bytes starting at `offset` of the torrent.
  static int32_t FilePieceCount(int64_t offset, int64_t length, int64_t pieceLength);

  std::vector<TPieceFile> Files;
  int64_t PieceLength = 0;
  int64_t PieceCount = 0;
  int64_t TotalLength = 0;
  std::string Hashes;

 private:
  bool AddFile(const std::string& path, const std::string& relativePath, int64_t length);
  bool BuildMultiFile(const QElement& list, std::string saveDirectory, const std::string& name);
  bool PathsAreDistinct(const std::vector<std::string>& folders) const;
};

}  // namespace bw
