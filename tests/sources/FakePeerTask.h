#pragma once
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/net/QSocket.h"
#include "engine/sources/IPeerTask.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"
#include "engine/sources/TPieceRange.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw::test {

// A task around a real piece map over random content; scheduling switches are set by the test.
class FakePeerTask : public IPeerTask {
 public:
  FakePeerTask(int64_t length, int64_t pieceLength) : content(Content(static_cast<size_t>(length))) {
    Load(length, pieceLength, PieceHashes(content, pieceLength));
  }
  // Several files, piece-aligned or not, over random content.
  FakePeerTask(const std::vector<FileSpec>& files, int64_t pieceLength) {
    int64_t length = 0;
    for (const FileSpec& f : files) length += f.length;
    content = Content(static_cast<size_t>(length));
    map.SetSaveDirectory(dir.path);
    loaded = map.LoadInfo(*Parse(MultiInfo("set", files, pieceLength, PieceHashes(content, pieceLength))));
  }
  // A content too large to hold: the test gives the piece hashes.
  FakePeerTask(int64_t length, int64_t pieceLength, const std::string& hashes) { Load(length, pieceLength, hashes); }

  void Load(int64_t length, int64_t pieceLength, const std::string& hashes) {
    map.SetSaveDirectory(dir.path);
    loaded = map.LoadInfo(*Parse(SingleInfo("data.bin", length, pieceLength, hashes)));
  }

  TPieces* Pieces() override { return &map; }
  uint64_t Clock() override { return now; }
  bool HasMetadata() override { return true; }
  bool IsComplete() override { return complete; }
  bool CanSchedule() override { return canSchedule; }
  bool InEndGame() override { return endGame; }
  bool PeerConnectionsEnabled() override { return true; }
  int32_t CurrentPosition() override { return position; }
  int32_t MaxConnections() override { return maxConnections; }
  std::vector<std::unique_ptr<TPieceRange>>& Ranges() override { return ranges; }
  bool CreateInitialRanges() override {
    ++initialRangeCalls;
    for (const auto& [first, last] : initialRanges) {
      ranges.push_back(std::make_unique<TPieceRange>(nullptr, first, last));
    }
    return !initialRanges.empty();
  }
  bool AssignRange(TPeerObject& peer) override {
    for (auto& r : ranges) {
      if (!r->worker && !r->exhausted && !r->abandoned && !r->rescan) {
        peer.SetRange(r.get());
        return true;
      }
    }
    return false;
  }
  int32_t RandomStartPiece() override { return randomStart; }
  const std::vector<TWantedPiece>& WantedList() override { return wanted; }
  bool WantPiece(int32_t piece, const TPeerObject& by) override {
    if (piece == refusedPiece) return false;
    wanted.push_back({piece, &by});
    return true;
  }
  void ReleaseWanted(const TPeerObject& by) override {
    std::erase_if(wanted, [&by](const TWantedPiece& w) { return w.by == &by; });
  }
  std::vector<TBlockRequest>& EndGameList() override { return endGameList; }
  void ReturnRequests(const std::vector<TBlockRequest>& requests) override {
    returned.insert(returned.end(), requests.begin(), requests.end());
  }
  void AddDownloaded(int64_t bytes) override { downloaded += bytes; }
  void AddKindBytes(int32_t kind, int64_t bytes) override { kindBytes[kind] += bytes; }
  void PenalizeSource(TPeerId& id, int32_t seconds) override { penalties.emplace_back(&id, seconds); }
  void RequestCycleSoon() override { ++cyclesRequested; }
  int64_t DownloadBudget() override { return budget; }
  void RemoveSource(TPeerId& id) override { removed.push_back(&id); }
  void AddSource(TPeerId& id) override { added.emplace_back(id.addressText, id.priority); }
  void SetErrorCode(int32_t code) override { errorCode = code; }
  void NoteLookupFailure() override { ++lookupFailures; }
  void SetTaskState(int32_t state) override { taskState = state; }
  std::vector<TRef<TPeerObject>>& ActivePeers() override { return active; }
  const uint8_t* SwarmHandshake() override {
    return swarmHandshake.empty() ? nullptr : reinterpret_cast<const uint8_t*>(swarmHandshake.data());
  }
  bool HttpDisguise() override { return disguise; }
  TPeerId* IdentifyIncoming(uint32_t ip, int32_t port, const uint8_t*) override {
    incoming->ip = ip;
    incoming->port = port;
    return incoming.get();
  }
  void SetPeerRates(int64_t down, int64_t up) override {
    downRate = down;
    upRate = up;
  }

  // A folder beside the map with a copy of the content as data.bin, for a server to serve.
  std::string ServedFolder() const {
    const std::string folder = dir.path + "www/";
    WriteFile(folder + "data.bin", content);
    return folder;
  }

  const uint8_t* Data(int64_t block) const {
    return reinterpret_cast<const uint8_t*>(content.data()) + block * kBlockSize;
  }

  TempDir dir;
  FakeTask piecesTask;
  TPieces map{piecesTask};
  std::string content;
  bool loaded = false;
  uint64_t now = 1000;
  bool complete = false;
  bool canSchedule = true;
  bool endGame = false;
  int32_t position = -1;
  int32_t randomStart = -1;
  std::vector<TWantedPiece> wanted;
  int32_t refusedPiece = -1;  // enough peers want it already
  int32_t maxConnections = 52;
  std::vector<std::pair<int32_t, int32_t>> initialRanges;
  int initialRangeCalls = 0;
  std::vector<std::unique_ptr<TPieceRange>> ranges;
  std::vector<TBlockRequest> endGameList;
  std::vector<TBlockRequest> returned;
  int64_t downloaded = 0;
  std::map<int32_t, int64_t> kindBytes;
  std::vector<std::pair<TPeerId*, int32_t>> penalties;
  int cyclesRequested = 0;
  int64_t budget = INT64_MAX;
  std::vector<TPeerId*> removed;
  std::vector<std::pair<std::string, int32_t>> added;  // address, priority
  int32_t errorCode = 0;
  int lookupFailures = 0;
  int32_t taskState = 0;
  std::vector<TRef<TPeerObject>> active;
  int64_t downRate = -1;
  int64_t upRate = -1;
  std::string swarmHandshake;  // empty: no metadata for a swarm yet
  bool disguise = false;
  TRef<TPeerId> incoming = MakeRef<TPeerId>();  // every peer that dials in
};

// A peer whose protocol reads what arrives and answers with what the test queued.
class TestPeer : public TPeerObject {
 public:
  using TPeerObject::TPeerObject;
  bool ReadInput() override {
    if (!Socket()) return false;
    if (!outgoing.empty()) {
      Socket()->Send(outgoing.data(), static_cast<int64_t>(outgoing.size()));
      outgoing.clear();
    }
    return Socket()->Receive() >= 0 || !Socket()->IsReady();
  }
  void MarkSent() {
    for (TBlockRequest& r : requests_) r.sent = true;
  }
  void Ask(int64_t block, int32_t length) { QueueRequest(block, length); }
  std::string outgoing;
};

// An identity at 127.0.0.1 (network order) and the given port.
inline TPeerId* MakeIdentity(int32_t kind, int32_t port, const std::string& text = "peer") {
  auto* id = new TPeerId(text);
  id->kind = kind;
  id->port = port;
  const uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&id->ip, loopback, 4);
  return id;
}

}  // namespace bw::test
