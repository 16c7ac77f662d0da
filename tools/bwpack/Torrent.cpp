#include "tools/bwpack/Torrent.h"

#include <string_view>

namespace bwpack {
namespace {

std::string Text(std::string_view text) { return std::to_string(text.size()) + ":" + std::string(text); }

std::string Integer(int64_t value) { return std::string("i").append(std::to_string(value)).append("e"); }

}  // namespace

std::string SingleFileTorrent(const TorrentFacts& facts) {
  std::string t = "d";
  if (!facts.trackers.empty()) {
    t += Text("announce") + Text(facts.trackers.front());
    t += Text("announce-list") + "l";
    for (const std::string& tracker : facts.trackers) t.append("l").append(Text(tracker)).append("e");
    t += "e";
  }
  t += Text("created by") + Text("bwpack");
  t += Text("creation date") + Integer(facts.creationDate);
  t += Text("encoding") + Text("UTF-8");
  t += Text("info") + "d";
  t += Text("length") + Integer(static_cast<int64_t>(facts.length));
  t += Text("name") + Text(facts.name);
  t += Text("piece length") + Integer(static_cast<int64_t>(facts.pieceLength));
  t += Text("pieces") + Text(facts.pieceHashes);
  t += "ee";
  return t;
}

}  // namespace bwpack
