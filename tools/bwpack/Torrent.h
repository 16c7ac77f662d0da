#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bwpack {

struct TorrentFacts {
  std::string name;
  uint64_t length = 0;
  uint64_t pieceLength = 0;
  std::string pieceHashes;            // 20 bytes a piece
  std::vector<std::string> trackers;  // the first announces; all of them form the announce list
  int64_t creationDate = 0;
};

// A bencoded single-file torrent, its keys in the sorted order bencode asks for.
std::string SingleFileTorrent(const TorrentFacts& facts);

}  // namespace bwpack
