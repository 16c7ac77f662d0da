#pragma once
#include <string>

namespace bw {

// The task info file: a bencoded dictionary of the byte strings "bits", "part", "seeds" and
// "torrent", each written only when non-empty.
class TTaskInfoFile {
 public:
  std::string bits;
  std::string part;
  std::string seeds;
  std::string torrent;

  bool Encode(std::string* out) const;
  // Replaces the file so that a crash leaves the old or the new file whole.
  bool Save(const std::string& path) const;
  // Takes each value that is a byte string longer than 2 bytes; false when the file cannot be
  // read or is not a dictionary.
  bool Load(const std::string& path);
};

}  // namespace bw
