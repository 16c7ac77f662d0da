#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bw {

// The written-piece log: the index of every piece written whole, appended as it is written
// (4 bytes, little-endian) and never synced. The resume record is saved only now and then; after
// a kill the log tells which pieces written since may be on disk, and the restart hashes just
// those instead of every file. An entry is a hint, never trusted without that hash.
class TWrittenLog {
 public:
  static constexpr const char* kSuffix = "wl";  // after the path of the task info file

  TWrittenLog() = default;
  ~TWrittenLog() { Close(); }
  TWrittenLog(const TWrittenLog&) = delete;
  TWrittenLog& operator=(const TWrittenLog&) = delete;

  // An empty path keeps no log.
  void SetPath(const std::string& path);
  const std::string& Path() const { return path_; }
  void Append(int32_t piece);
  void Close();
  // Closes and deletes the file: the content is complete or starts again.
  void Remove();

  // The distinct pieces below pieceCount that the file names, in the order first named.
  static std::vector<int32_t> Load(const std::string& path, int64_t pieceCount);

 private:
  std::string path_;
  int fd_ = -1;
  int64_t end_ = 0;
  bool failed_ = false;  // one failure is logged; the log is a hint and the download goes on
};

}  // namespace bw
