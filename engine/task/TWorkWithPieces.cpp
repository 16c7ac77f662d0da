#include "engine/task/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>

#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineLog.h"
#include "engine/common/Md5.h"
#include "platform/Clock.h"
#include "platform/NetInterfaces.h"
#include "platform/Thread.h"

namespace bw {

TWorkWithPieces::TWorkWithPieces() = default;

TWorkWithPieces::~TWorkWithPieces() {
  // The piece map reports into this object while it closes its files.
  Stop();
  pieces.reset();
}

void TWorkWithPieces::Reset(int full, int flag) {
  {
    QScopedLock guard(lock);
    if (full) {
      if (pieces) pieces->Reset();  // closes the files and hands over the file selection first
      torrent.reset();
      pieces.reset();
      metadataLoaded = false;
      diskFull = false;
      bitmap_.clear();
      bitmapPieces_ = 0;
      swarmReady_ = false;
    } else if (pieces) {
      pieces->CloseFiles(true, false);  // hands over a fresh resume record
    }
    reloadMetadata = false;
  }
  TWorkWithPeers::Reset(full, flag);
}

int64_t TWorkWithPieces::Clock() { return static_cast<int64_t>(EngineClock()); }

void TWorkWithPieces::ReportEvent(const char* code, const std::string& text) {
  LogPrintf(23, 23, "Task Event %s : %s", code ? code : "", text.c_str());
}

TPieces& TWorkWithPieces::CreatePieceMap() {
  QScopedLock guard(lock);
  settings.Normalise();
  pieces = std::make_unique<TPieces>(*this);
  pieces->SetSaveDirectory(saveFolder);
  if (fullPath) pieces->SetTargetPath(targetFile);
  pieces->SetPendingPath(pendingBlockPath);
  pieces->SetQuickStart(settings.QuickStart());
  return *pieces;
}

bool TWorkWithPieces::LoadMetadata() {
  // A torrent that arrives again (from a source) is laid over the former map, which hands over
  // what it already holds.
  std::unique_ptr<TTorrent> former = std::move(torrent);
  std::unique_ptr<TPieces> previous = std::move(pieces);
  TPieces& map = CreatePieceMap();
  map.SetUseResume(!infoPath.empty());
  map.SetSavedRecord(InfoText("bits"));
  map.SetSavedSelection(InfoText("part"));
  auto loading = std::make_unique<TTorrent>(map, this);
  loading->SourceText = contentId;
  loading->TorrentBytes = InfoText("torrent");
  loading->SetPreviousPieces(previous.get());
  if (!loading->Load()) {
    QScopedLock guard(lock);
    pieces = std::move(previous);
    torrent = std::move(former);
    return false;
  }
  QScopedLock guard(lock);
  torrent = std::move(loading);
  RefreshCounters();
  return true;
}

void TWorkWithPieces::StopWithError(int32_t error) {
  working.status = error;
  RequestStop();
}

void TWorkWithPieces::RefreshCounters() {
  working.totalBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->TotalLength(), 0));
  working.doneBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesComplete(), 0));
  working.wantedBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesWanted(), 0));
  working.receivedBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesChecked(), 0));
  working.pieceCount = static_cast<int32_t>(pieces->PieceCount());
  working.verifiedPieces = pieces->DonePieces();
}

void TWorkWithPieces::SyncFromPieces() {
  if (!pieces) return;
  const uint64_t before = working.doneBytes;
  RefreshCounters();
  if (working.doneBytes != before) Publish(false, false);
}

void TWorkWithPieces::RequestStop() {
  uint32_t id = 0;
  SignalStop(&id);
}

void TWorkWithPieces::OnPiecesEvent(const TPiecesEvent& event) {
  if (!pieces) return;
  switch (event.type) {
    case TPiecesEvent::kPieceState: {
      int32_t index = -1;
      if (event.size != 4 || !event.data) break;
      std::memcpy(&index, event.data, 4);
      if (index < 0) break;
      {
        QScopedLock guard(lock);
        const size_t byte = static_cast<size_t>(index) / 8;
        if (byte < bitmap_.size() && pieces->IsPieceComplete(index)) {
          bitmap_[byte] = static_cast<char>(bitmap_[byte] | (0x80 >> (index % 8)));
        }
        bitmapChanged = true;
      }
      working.verifiedPieces = pieces->DonePieces();
      working.doneBytes = static_cast<uint64_t>(std::max<int64_t>(pieces->BytesComplete(), 0));
      if (pieces->IsPieceComplete(index)) OnPieceCompleted(index);
      break;
    }
    case TPiecesEvent::kWholeBitfield:
      if (event.size != 0 || event.data) break;
      {
        QScopedLock guard(lock);
        bitmap_ = pieces->Bitfield();
        bitmapPieces_ = static_cast<int32_t>(pieces->PieceCount());
        bitmapChanged = true;
      }
      RefreshCounters();
      break;
    case TPiecesEvent::kCheck:
      if (event.size == 0 && !event.data) Publish(event.value != 0, true);
      break;
    case TPiecesEvent::kPiecesBuilt: {
      int32_t count = 0;
      if (event.size != 4) break;
      count = event.value;
      if (event.data) std::memcpy(&count, event.data, 4);
      if (count <= 0) break;
      QScopedLock guard(lock);
      bitmap_.assign((static_cast<size_t>(count) + 7) / 8, '\0');
      bitmapPieces_ = count;
      const std::vector<TPieceFile>& files = pieces->Files();
      working.name = files.size() == 1 ? files.front().RelativePath : targetFile;
      break;
    }
    case TPiecesEvent::kFileSelection:
    case TPiecesEvent::kResumeRecord: {
      const int which = event.type == TPiecesEvent::kFileSelection ? kPart : kBits;
      const auto* bytes = static_cast<const char*>(event.data);
      StoreInfoText(which, bytes && event.size > 0 ? std::string(bytes, static_cast<size_t>(event.size)) : std::string());
      break;
    }
    case TPiecesEvent::kWaitingForDisk:
      working.status = kTaskStatusDiskFull;
      diskFull = true;
      RequestStop();
      break;
    case TPiecesEvent::kDiskAvailable:
      diskFull = false;
      break;
    case TPiecesEvent::kFileFailed:
      working.status = kTaskStatusWriteFailed;
      diskFull = true;
      RequestStop();
      break;
    default:
      break;
  }
}

void TWorkWithPieces::PrepareSwarmIdentity() {
  if (swarmReady_ || !metadataLoaded || !pieces || !pieces->HasInfoHash()) return;
  static constexpr char kProtocol[] = "BitTorrent protocol";
  uint8_t* at = handshake_;
  *at++ = 19;
  std::memcpy(at, kProtocol, 19);
  at += 19;
  std::memset(at, 0, 8);
  at += 8;
  std::memcpy(at, pieces->InfoHash(), 20);
  at += 20;
  static constexpr uint8_t kPeerIdPrefix[4] = {0x00, 0x01, 'B', 'w'};
  std::memcpy(at, kPeerIdPrefix, 4);
  const std::vector<uint32_t> local = platform::LocalIPv4Addresses();
  const std::string seed = AnnounceAddress() + std::to_string(platform::CurrentThreadId()) +
                           std::to_string(reinterpret_cast<uintptr_t>(this)) + std::to_string(platform::TickCountMs()) +
                           std::to_string(local.empty() ? 0u : local.front());
  Md5::Hash(seed.data(), seed.size(), at + 4);
  swarmReady_ = true;
  JoinSwarm();
}

void TWorkWithPieces::RefreshReports(bool force) {
  TWorkWithPeers::RefreshReports(force);
  if (pieces && (bitmapChanged || force)) {
    bitmap_ = pieces->Bitfield();
    bitmapPieces_ = static_cast<int32_t>(pieces->PieceCount());
  }
  bitmapChanged = false;
}

std::span<const uint8_t> TWorkWithPieces::PieceBitmap() {
  return {reinterpret_cast<const uint8_t*>(bitmap_.data()), bitmap_.size()};
}

int TWorkWithPieces::PieceCount() { return bitmapPieces_; }

int TWorkWithPieces::GetFileCount() {
  QScopedLock guard(lock);
  return pieces ? static_cast<int>(pieces->Files().size()) : 0;
}

int64_t TWorkWithPieces::GetFileSize(int index) {
  QScopedLock guard(lock);
  if (!pieces || index < 0 || static_cast<size_t>(index) >= pieces->Files().size()) return -1;
  return pieces->Files()[static_cast<size_t>(index)].Length;
}

int TWorkWithPieces::GetFileText(int index, int kind, char out[kTextSize]) {
  QScopedLock guard(lock);
  if (!out || !pieces || index < 0 || static_cast<size_t>(index) >= pieces->Files().size()) return -1;
  const TPieceFile& file = pieces->Files()[static_cast<size_t>(index)];
  const std::string* text = nullptr;
  switch (kind) {
    case 1: text = &file.RelativePath; break;
    case 2: text = &file.Path; break;  // where its data lies now
    case 3: text = file.UsesTempName ? &file.FinalPath : &file.Path; break;
    default: return -1;
  }
  const size_t n = std::min(text->size(), static_cast<size_t>(kTextSize - 1));
  std::memcpy(out, text->data(), n);
  out[n] = '\0';
  return 0;
}

}  // namespace bw
