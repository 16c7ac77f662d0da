#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/TRefObject.h"

namespace bw {

class ITorrentTask;
class QElement;
class TPieces;

// A task's torrent metadata: trackers, info hash and descriptive fields; the files and piece
// hashes go to its piece map. Loaded from the torrent bytes the task holds, from a "file://"
// address, or from a one-line template.
class TTorrent : public TRefObject {
 public:
  static constexpr int64_t kMaxTorrentFile = 64 * 1024 * 1024;

  // `task` may be none.
  TTorrent(TPieces& pieces, ITorrentTask* task) : Pieces(pieces), Task(task) {}
  TTorrent(const TTorrent&) = delete;
  TTorrent& operator=(const TTorrent&) = delete;

  bool Load();
  bool LoadFromBytes(const char* bytes, int64_t length);
  bool LoadFromFile(const std::string& address);
  bool ParseTorrent(QElement& root);
  // "$Hash$<40 hex>$Size$<total>$Length$<piece length>$Tracker$<address>$End$".
  bool LoadTemplate(const std::string& text);
  // Clears everything parsed; the code page stays.
  void ResetMetadata();
  void SetPreviousPieces(TPieces* previous) { PreviousPieces = previous; }

  // Leading bytes before the scheme and trailing '|' go; then, when asked, surrounding blanks.
  static std::string NormaliseAnnounce(std::string_view text, bool trim);

  int32_t CodePage = 0;
  std::string Announce;
  std::string Publisher;
  std::string PublisherUrl;
  std::string Comment;
  int64_t CreationDate = 0;
  uint8_t InfoHash[20] = {};
  std::string InfoHashEscaped;
  std::string InfoHashHex;
  std::vector<std::string> Trackers;
  std::string TorrentBytes;
  std::string SourceText;
  TPieces& Pieces;
  // The task's former map, handed to the new one and forgotten once a load succeeds.
  TPieces* PreviousPieces = nullptr;
  ITorrentTask* Task;

 private:
  void SetInfoHash(const uint8_t hash[20]);
  void WalkTrackers(const QElement& container);
  void SetWorkState(int32_t state);
};

}  // namespace bw
