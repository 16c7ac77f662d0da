#include "engine/storage/TPieces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/common/QBufferPool.h"
#include "engine/common/Sha1.h"
#include "engine/storage/TFileLayout.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TResumeRecord.h"
#include "engine/storage/TStartupState.h"
#include "engine/storage/TorrentPath.h"
#include "platform/DiskSpace.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace bw {

namespace {

constexpr int64_t kPrefixMinimum = 128 * 1024;
constexpr int64_t kIdleAge = std::max<int64_t>(TPieces::kHour / 6, 15);
constexpr uint32_t kDiskWaitMs = 2000;
constexpr size_t kMaxFolderText = 4096;
// A template names its sizes in text; the piece table it asks for stays small (tens of MiB).
constexpr int64_t kMaxTemplatePieces = int64_t{1} << 18;
constexpr const char* kTemplateFileName = "001.bwinfo";

// A pool buffer for the length of one call.
class PoolBuffer {
 public:
  explicit PoolBuffer(int64_t length) : data_(TPieces::PiecePool().Alloc(length)) {}
  ~PoolBuffer() { TPieces::PiecePool().Free(data_); }
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;
  uint8_t* get() const { return data_; }

 private:
  uint8_t* data_;
};

}  // namespace

TPieces::TPieces(IPiecesTask& task) : task_(task) { SetFreeSpaceQuery(nullptr); }

TPieces::~TPieces() {
  for (TPieceFile& file : files_) file.Handle.Close();
  for (TPiece& piece : pieces_) {
    ReleaseState(piece);
    SetSource(piece, nullptr);
  }
}

QBufferPool& TPieces::PiecePool() {
  static QBufferPool pool;
  return pool;
}

QBufferPool& TPieces::StatePool() {
  static QBufferPool pool;
  return pool;
}

void TPieces::SetSaveDirectory(const std::string& directory) {
  saveDirectory_ = WithTrailingSlash(directory);
}

void TPieces::SetInfoHash(const uint8_t hash[20]) {
  std::memcpy(infoHash_, hash, sizeof infoHash_);
  hasInfoHash_ = true;
}

void TPieces::SetCacheUnits(int32_t units) { cacheUnits_ = std::min(8000, std::max(units, 4)); }

int64_t TPieces::CacheLimit() const {
  int64_t limit = int64_t{cacheUnits_} * kCacheUnit;
  return limit > 0 ? limit : kCacheUnit;
}

void TPieces::SetFreeSpaceQuery(FreeSpaceQuery query) {
  freeSpace_ = query ? std::move(query) : FreeSpaceQuery([](const std::string& folder) { return platform::DiskFreeBytes(folder.c_str()); });
}

TPiece* TPieces::PieceAt(int64_t index) {
  return index >= 0 && index < static_cast<int64_t>(pieces_.size())
             ? &pieces_[static_cast<size_t>(index)]
             : nullptr;
}

void TPieces::Send(int32_t type, int32_t value, int32_t size, const void* data) {
  task_.OnPiecesEvent(TPiecesEvent{type, value, size, data});
}

// ---- building ----

bool TPieces::LoadInfo(const QElement& info, TPieces* previous) {
  Reset();
  TFileLayout layout;
  if (!layout.Build(info, saveDirectory_, targetPath_)) return false;
  files_ = std::move(layout.Files);
  pieceLength_ = layout.PieceLength;
  pieceCount_ = layout.PieceCount;
  totalLength_ = layout.TotalLength;
  hashes_ = std::move(layout.Hashes);
  valid_ = true;
  if (!BuildPieces() || !StartUp(previous)) {
    Reset();
    return false;
  }
  return true;
}

bool TPieces::LoadTemplate(int64_t totalLength, int64_t pieceLength) {
  Reset();
  if (pieceLength <= 0 || pieceLength % kBlockSize != 0 ||
      pieceLength > TFileLayout::kMaxPieceLength || totalLength <= 0 ||
      (totalLength + pieceLength - 1) / pieceLength > kMaxTemplatePieces) {
    return false;
  }
  TPieceFile file;
  file.Length = totalLength;
  file.PieceCount = TFileLayout::FilePieceCount(0, totalLength, pieceLength);
  file.SetFinalPath(CleanPathText(targetPath_.empty() ? saveDirectory_ + kTemplateFileName : targetPath_));
  const std::string& finalPath = file.FinalPath.empty() ? file.Path : file.FinalPath;
  file.RelativePath = finalPath.substr(finalPath.rfind('/') + 1);
  files_.push_back(std::move(file));
  pieceLength_ = pieceLength;
  pieceCount_ = (totalLength + pieceLength - 1) / pieceLength;
  totalLength_ = totalLength;
  valid_ = false;
  fromTemplate_ = true;
  SetCacheUnits(128);
  if (!BuildPieces() || !StartUp(nullptr)) {
    Reset();
    return false;
  }
  return true;
}

bool TPieces::StartUp(TPieces* previous) {
  TStartupState startup(*this);
  startup.ApplyFileSelection();
  return startup.RestoreState(previous) && startup.PrepareFiles() && !task_.StopRequested();
}

bool TPieces::BuildPieces() {
  if (totalLength_ <= 0 || pieceCount_ <= 0 || pieceLength_ <= 0 || files_.empty()) return false;
  if (pieceCount_ > INT32_MAX || pieceCount_ * pieceLength_ < totalLength_ ||
      pieceCount_ * pieceLength_ - totalLength_ >= pieceLength_) {
    return false;
  }
  pieces_.clear();
  pieces_.reserve(static_cast<size_t>(pieceCount_));
  for (int64_t i = 0; i < pieceCount_; ++i) {
    if (valid_ && static_cast<size_t>(20 * i + 20) > hashes_.size()) break;
    TPiece& piece = pieces_.emplace_back(PiecePool());
    piece.Index = static_cast<int32_t>(i);
    piece.Size = static_cast<int32_t>(std::min(pieceLength_, totalLength_ - i * pieceLength_));
    piece.Hash = valid_ ? reinterpret_cast<const uint8_t*>(hashes_.data()) + 20 * i : nullptr;
    piece.Blocks.Init(piece.Size);
  }
  bitfield_.assign(static_cast<size_t>((pieceCount_ + 7) / 8), '\0');
  bytesComplete_ = bytesChecked_ = 0;
  bytesWanted_ = totalLength_;
  piecesWanted_ = pieceCount_;
  donePieces_ = 0;
  lastCompleted_ = -1;
  int32_t count = static_cast<int32_t>(pieceCount_);
  Send(TPiecesEvent::kPiecesBuilt, 1, 4, &count);
  return true;
}

// Nothing present yet: every byte counts as checked and no piece is complete.
void TPieces::StartEmpty() {
  RecountWanted();
  bytesChecked_ = totalLength_;
  for (TPieceFile& file : files_) file.Handle.Close();
}

void TPieces::Reset() {
  if (!files_.empty()) {
    CloseFiles(false, false);
    ReportFileSelection();
  }
  for (TPiece& piece : pieces_) {
    DropMemory(piece);
    ReleaseState(piece);
    SetSource(piece, nullptr);
  }
  pieces_.clear();
  files_.clear();
  hashes_.clear();
  bitfield_.clear();
  valid_ = false;
  fromTemplate_ = false;
  pieceLength_ = pieceCount_ = totalLength_ = 0;
  bytesChecked_ = bytesComplete_ = bytesWanted_ = piecesWanted_ = 0;
  donePieces_ = 0;
  lastCompleted_ = -1;
  cacheBytes_ = dirtyBytes_ = partialBytes_ = pendingBytes_ = 0;
  readRequests_ = readHits_ = 0;
  waitingForDisk_ = resumeSaveDue_ = false;
}

// ---- queries ----

bool TPieces::IsValid() const {
  if (pieces_.empty() || files_.empty() || totalLength_ <= 0) return false;
  // A map without hashes is complete as it is; one that expects them waits for them.
  return fromTemplate_ || !task_.MetadataLoaded() || hashes_.size() >= 20;
}

bool TPieces::IsComplete() const {
  return !pieces_.empty() && donePieces_ >= pieceCount_ && bytesComplete_ >= totalLength_;
}

bool TPieces::AllVerified() const {
  if (pieces_.empty()) return false;
  for (const TPiece& piece : pieces_) {
    if (!piece.Verified && !IsPieceComplete(piece.Index)) return false;
  }
  return true;
}

bool TPieces::IsPieceValid(int64_t index) const {
  return index >= 0 && index < static_cast<int64_t>(pieces_.size()) && Piece(index).Size > 0;
}

bool TPieces::IsPieceComplete(int64_t index) const {
  if (index < 0 || index >= pieceCount_ || bitfield_.empty()) return false;
  return (static_cast<uint8_t>(bitfield_[static_cast<size_t>(index / 8)]) >> (7 - index % 8)) & 1;
}

// A piece verified in memory and not yet written is no longer missing: no source fetches it again.
bool TPieces::IsPieceWanted(int64_t index) const {
  return IsPieceValid(index) && !Piece(index).Skip && !Piece(index).Verified && !IsPieceComplete(index);
}

bool TPieces::HasBlock(int64_t piece, int64_t offset, int64_t length) const {
  if (!IsPieceValid(piece) || offset < 0 || length <= 0) return false;
  return IsPieceComplete(piece) || Piece(piece).Blocks.HasRange(static_cast<int32_t>(offset),
                                                               static_cast<int32_t>(length));
}

bool TPieces::HasGlobalBlock(int64_t block) const {
  if (block < 0 || block >= (totalLength_ + kBlockSize - 1) / kBlockSize) return false;
  int64_t start = block * kBlockSize;
  return HasBlock(start / pieceLength_, start % pieceLength_,
                  std::min<int64_t>(kBlockSize, totalLength_ - start));
}

int32_t TPieces::PieceBytesInMemory(int64_t index) const {
  return IsPieceValid(index) ? Piece(index).Blocks.BytesHeld() : 0;
}

int32_t TPieces::CountDoneOrSkipped() const {
  int32_t count = 0;
  for (const TPiece& piece : pieces_) count += piece.Skip || IsPieceComplete(piece.Index);
  return count;
}

// ---- piece state ----

bool TPieces::SetPieceState(int64_t index, bool complete) {
  TPiece* piece = PieceAt(index);
  if (!piece || IsPieceComplete(index) == complete) return false;
  auto& byte = bitfield_[static_cast<size_t>(index / 8)];
  const char bit = static_cast<char>(0x80 >> (index % 8));
  if (complete) {
    if (!piece->Skip) donePieces_ = static_cast<int32_t>(std::min<int64_t>(donePieces_ + 1, pieceCount_));
    bytesComplete_ += piece->Size;
    lastCompleted_ = static_cast<int32_t>(index);
    byte = static_cast<char>(byte | bit);
  } else {
    if (!piece->Skip) donePieces_ = std::max(donePieces_ - 1, 0);
    bytesComplete_ = std::max<int64_t>(bytesComplete_ - piece->Size, 0);
    byte = static_cast<char>(byte & ~bit);
    if (lastCompleted_ == index) lastCompleted_ = -1;
  }
  resumeSaveDue_ = true;
  int32_t value = static_cast<int32_t>(index);
  Send(TPiecesEvent::kPieceState, complete ? 1 : 0, 4, &value);
  return true;
}

void TPieces::ResetPiece(int64_t index) {
  TPiece* piece = PieceAt(index);
  if (!piece || IsPieceComplete(index)) return;
  DropMemory(*piece);
  DropPartialState(*piece);
  SetSource(*piece, nullptr);
  piece->Verified = false;
}

void TPieces::SetSource(TPiece& piece, IPieceSource* source) {
  if (piece.Source == source) return;
  if (piece.Source) piece.Source->Release();
  piece.Source = source;
  if (source) source->AddRef();
  piece.SourceBytes = 0;
}

void TPieces::StoreInMemory(TPiece& piece, int32_t offset, const uint8_t* data, int32_t length) {
  int32_t before = piece.Blocks.BytesHeld();
  piece.Blocks.Store(offset, data, length);
  cacheBytes_ += piece.Blocks.BytesHeld() - before;
}

void TPieces::DropMemory(TPiece& piece) {
  int32_t held = piece.Blocks.BytesHeld();
  cacheBytes_ = std::max<int64_t>(cacheBytes_ - held, 0);
  if (piece.Dirty) dirtyBytes_ = std::max<int64_t>(dirtyBytes_ - held, 0);
  piece.Blocks.Clear();
  ReleaseAhead(piece);
  piece.Dirty = false;
  if (!IsPieceComplete(piece.Index)) piece.Verified = false;
}

void TPieces::ReleaseState(TPiece& piece) {
  StatePool().Free(piece.Sha1State);
  piece.Sha1State = nullptr;
  piece.HashedPrefix = 0;
  ReleaseAhead(piece);
}

void TPieces::ReleaseAhead(TPiece& piece) {
  StatePool().Free(piece.AheadState);
  piece.AheadState = nullptr;
  piece.HashedAhead = 0;
}

void TPieces::DropPartialState(TPiece& piece) {
  if (piece.HashedPrefix > 0) resumeSaveDue_ = true;
  ReleaseState(piece);
}

// ---- verification ----

bool TPieces::VerifyData(TPiece& piece, const uint8_t* data, int64_t offset, int64_t length) {
  if (!valid_) return true;
  Sha1 sha;
  if (offset > 0) {
    if (offset != piece.HashedPrefix || !piece.Sha1State ||
        !sha.ImportState(piece.Sha1State, Sha1::kStateSize)) {
      return false;
    }
  }
  uint8_t digest[Sha1::kDigestSize];
  if (offset + length != piece.Size || sha.Input(data, static_cast<size_t>(length)) != Sha1::kSuccess ||
      sha.Result(digest) != Sha1::kSuccess) {
    return false;
  }
  return std::memcmp(digest, piece.Hash, Sha1::kDigestSize) == 0;
}

// Feeds the running hash with the blocks held from where it stands, as far as they follow
// without a gap, so a piece arriving in order is hashed while its bytes are still in the cache.
bool TPieces::HashAhead(TPiece& piece) {
  const int32_t from = piece.AheadState ? piece.HashedAhead : piece.HashedPrefix;
  const int32_t run = piece.Blocks.RunFrom(from);
  if (run == 0) return true;
  Sha1 sha;
  const uint8_t* state = piece.AheadState ? piece.AheadState : piece.Sha1State;
  if (from > 0 && (!state || !sha.ImportState(state, Sha1::kStateSize))) return false;
  if (!piece.AheadState && !(piece.AheadState = StatePool().Alloc(Sha1::kStateSize))) return false;
  bool fed = true;
  piece.Blocks.ForEachRun(from, run, [&](const uint8_t* data, int32_t n) {
    fed = fed && sha.Input(data, static_cast<size_t>(n)) == Sha1::kSuccess;
  });
  if (!fed) return false;
  sha.ExportState(piece.AheadState);
  piece.HashedAhead = from + run;
  return true;
}

bool TPieces::VerifyInMemory(TPiece& piece) {
  if (!valid_) return true;
  if (piece.HashedPrefix % piece.Blocks.ChunkSize() != 0 ||
      !piece.Blocks.HasRange(piece.HashedPrefix, piece.Size - piece.HashedPrefix)) {
    return false;
  }
  Sha1 sha;
  uint8_t digest[Sha1::kDigestSize];
  const bool hashed = HashAhead(piece) && piece.HashedAhead == piece.Size &&
                      sha.ImportState(piece.AheadState, Sha1::kStateSize) &&
                      sha.Result(digest) == Sha1::kSuccess;
  ReleaseAhead(piece);
  return hashed && std::memcmp(digest, piece.Hash, Sha1::kDigestSize) == 0;
}

void TPieces::MarkVerifiedInMemory(TPiece& piece) {
  if (piece.Source) piece.Source->ResetFailures();
  piece.Dirty = piece.Verified = true;
  // Old enough to be written at the next cache round, young enough to stay as a read cache.
  piece.LastActivity = Now() - kHour / 2 - 5;
  dirtyBytes_ += piece.Blocks.BytesHeld();
}

void TPieces::ReportFailure(TPiece& piece) {
  if (IPieceSource* source = piece.Source) {
    if (source->Kind() == IPieceSource::kBitTorrent) {
      uint32_t ip = source->Ipv4();
      char text[64];
      std::snprintf(text, sizeof text, "%d.%d.%d.%d : %d", static_cast<int>(ip >> 24),
                    static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF),
                    static_cast<int>(ip & 0xFF), static_cast<int>(source->Port()));
      task_.ReportEvent("11500102", text);
    } else if (source->Kind() == IPieceSource::kHttp || source->Kind() == IPieceSource::kFtp) {
      task_.ReportEvent("11500101", source->AddressText());
    }
    source->CountFailure();
  }
  DropMemory(piece);
  DropPartialState(piece);
  SetSource(piece, nullptr);
}

// ---- receiving ----

int64_t TPieces::ReceiveBlock(int64_t block, int32_t length, const uint8_t* data,
                              IPieceSource* source, bool* accepted) {
  if (accepted) *accepted = false;
  if (block < 0 || !data || pieceLength_ <= 0 || block > totalLength_ / kBlockSize) return -1;
  const int64_t start = block * kBlockSize;
  TPiece* piece = PieceAt(start / pieceLength_);
  if (!piece) return -1;
  const int32_t offset = static_cast<int32_t>(start % pieceLength_);
  if (length <= 0 || length != piece->Blocks.BlockLength(offset)) return -1;
  if (!IsPieceWanted(piece->Index)) return length;
  SetSource(*piece, source);
  if (offset >= piece->HashedPrefix) {
    StoreInMemory(*piece, offset, data, length);
    piece->LastActivity = Now();
    piece->SourceBytes += length;
    // A failure here only means the whole piece is hashed when it is verified.
    if (valid_ && !piece->Verified) HashAhead(*piece);
  }
  if (!piece->Verified && piece->Blocks.BytesHeld() + piece->HashedPrefix >= piece->Size) {
    if (!VerifyInMemory(*piece)) {
      ReportFailure(*piece);
      return -99;
    }
    MarkVerifiedInMemory(*piece);
  }
  if (accepted) *accepted = true;
  return length;
}

int64_t TPieces::ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t readAheadHint,
                           bool anyState) {
  if (block < 0 || pieceLength_ <= 0) return -1;
  const int64_t start = block * kBlockSize;
  return ReadPieceData(start / pieceLength_, out, length, start % pieceLength_, readAheadHint,
                       anyState);
}

// ---- writing out ----

int64_t TPieces::WriteRest(TPiece& piece) {
  const int32_t rest = piece.Size - piece.HashedPrefix;
  if (!piece.Dirty || !piece.Blocks.HasRange(piece.HashedPrefix, rest)) return 0;
  int32_t held = piece.Blocks.BytesHeld();
  int64_t written = WriteHeld(piece, piece.HashedPrefix, rest);
  if (written != rest) {
    // Verified data is never given up: it stays in memory to be written (or saved with the
    // pending blocks) once the disk takes it.
    piece.Dirty = piece.Verified = true;
    return written < 0 ? -1 : written;
  }
  dirtyBytes_ = std::max<int64_t>(dirtyBytes_ - held, 0);
  ReleaseState(piece);
  SetSource(piece, nullptr);
  return written;
}

int64_t TPieces::WritePrefix(TPiece& piece, int32_t minimum) {
  if (piece.Verified || piece.Blocks.Empty()) return 0;
  const int32_t run = piece.Blocks.RunFrom(piece.HashedPrefix);
  if (piece.HashedPrefix + run >= piece.Size) {
    if (!VerifyInMemory(piece)) {
      ReportFailure(piece);
      return -99;
    }
    MarkVerifiedInMemory(piece);
    return 0;
  }
  const int32_t chunk = piece.Blocks.ChunkSize();
  const int32_t bytes = run / chunk * chunk;
  if (bytes <= 0 || bytes < minimum) return 0;
  if (WriteHeld(piece, piece.HashedPrefix, bytes) != bytes) {
    DropMemory(piece);
    return -1;
  }
  if (!piece.Sha1State) piece.Sha1State = StatePool().Alloc(Sha1::kStateSize);
  Sha1 sha;
  bool fed = piece.Sha1State &&
             (piece.HashedPrefix == 0 || sha.ImportState(piece.Sha1State, Sha1::kStateSize));
  piece.Blocks.ForEachRun(piece.HashedPrefix, bytes, [&](const uint8_t* data, int32_t n) {
    fed = fed && sha.Input(data, static_cast<size_t>(n)) == Sha1::kSuccess;
  });
  if (fed) sha.ExportState(piece.Sha1State);
  const int32_t before = piece.Blocks.BytesHeld();
  if (!fed || !piece.Blocks.ReleasePrefix(piece.HashedPrefix + bytes)) {
    DropMemory(piece);
    DropPartialState(piece);
    return -99;
  }
  cacheBytes_ = std::max<int64_t>(cacheBytes_ - (before - piece.Blocks.BytesHeld()), 0);
  piece.HashedPrefix += bytes;
  // A running hash that has not reached the new prefix cannot go on: its blocks are gone.
  if (piece.HashedAhead < piece.HashedPrefix) ReleaseAhead(piece);
  resumeSaveDue_ = true;
  return bytes;
}

// ---- cache ----

void TPieces::MaintainCache() {
  const int64_t now = Now();
  const int64_t limit = CacheLimit();
  int64_t counted = 0;
  partialBytes_ = 0;
  for (TPiece& piece : pieces_) {
    if (piece.Blocks.Empty()) {
      partialBytes_ += piece.HashedPrefix;
      continue;
    }
    const bool complete = IsPieceComplete(piece.Index);
    if (!piece.Dirty) {
      if (piece.Verified || piece.Skip || complete) {
        if (piece.Skip && !complete) DropMemory(piece);
      } else if (piece.Blocks.BytesHeld() >= kPrefixMinimum && now - piece.LastActivity > kIdleAge) {
        WritePrefix(piece, kPrefixMinimum);
      }
      continue;
    }
    if (!piece.Verified) continue;
    const int64_t threshold = cacheBytes_ < limit / 2 ? limit / 2 : limit / 5;
    if (counted < threshold || WriteRest(piece) != piece.Size - piece.HashedPrefix) {
      counted += piece.Blocks.BytesHeld();
    }
  }
  dirtyBytes_ = counted;
  pendingBytes_ = partialBytes_ + cacheBytes_;
  CheckCache();
}

int32_t TPieces::CheckCache() {
  if (cacheBytes_ >= CacheLimit() || Now() - lastTrim_ > 6 * kHour) TrimCache();
  return static_cast<int32_t>(cacheBytes_ / kCacheUnit);
}

void TPieces::TrimCache() {
  if (cacheBytes_ <= kCacheUnit) return;
  const int64_t now = Now();
  const int64_t limit = CacheLimit();
  std::vector<TPiece*> candidates;
  int64_t candidateBytes = 0;
  for (TPiece& piece : pieces_) {
    if (piece.Blocks.Empty()) continue;
    const bool complete = IsPieceComplete(piece.Index);
    if (complete && !piece.Dirty) {
      if (now - piece.LastActivity > kHour) {
        DropMemory(piece);
      } else {
        candidates.push_back(&piece);
        candidateBytes += piece.Blocks.BytesHeld();
      }
    } else if (!complete && piece.Skip) {
      DropMemory(piece);
      DropPartialState(piece);
    }
  }
  if (candidateBytes + dirtyBytes_ >= limit) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const TPiece* a, const TPiece* b) { return a->LastActivity < b->LastActivity; });
    const int64_t target = limit - std::max<int64_t>(limit / 10, kCacheUnit);
    for (TPiece* piece : candidates) {
      if (candidateBytes + dirtyBytes_ <= target) break;
      candidateBytes -= piece->Blocks.BytesHeld();
      DropMemory(*piece);
    }
  }
  lastTrim_ = now;
}

void TPieces::FlushPieces() {
  if (!IsReady()) return;
  int64_t remaining = 0;
  for (TPiece& piece : pieces_) {
    if (piece.Dirty && piece.Verified && WriteRest(piece) != piece.Size - piece.HashedPrefix) {
      remaining += piece.Blocks.BytesHeld();
    }
  }
  dirtyBytes_ = remaining;
}

void TPieces::LimitOpenFiles() {
  const int64_t units = (pieceLength_ + kCacheUnit - 1) / kCacheUnit;
  const int64_t most = 128 / std::max<int64_t>(units, 1) + 1;
  if (OpenFileCount() < most) return;
  for (TPieceFile& file : files_) file.Handle.Close();
}

int32_t TPieces::OpenFileCount() const {
  return static_cast<int32_t>(std::count_if(files_.begin(), files_.end(), [](const TPieceFile& f) {
    return f.Handle.IsOpen();
  }));
}

// ---- file selection ----

bool TPieces::PieceTouchesSelected(int64_t index) const {
  const int64_t start = index * pieceLength_;
  const int64_t end = start + Piece(index).Size;
  for (const TPieceFile& file : files_) {
    if (file.Length > 0 && !file.Deselected() && file.Offset < end && file.Offset + file.Length > start) {
      return true;
    }
  }
  return false;
}

bool TPieces::SelectFile(int32_t index, bool deselect) {
  if (index < 0 || index >= static_cast<int32_t>(files_.size())) return false;
  TPieceFile& file = files_[static_cast<size_t>(index)];
  file.Selection = deselect ? TPieceFile::kDeselected : 0;
  if (deselect) file.Handle.Close();
  for (int64_t i = file.FirstPiece; i < file.FirstPiece + file.PieceCount && i < pieceCount_; ++i) {
    pieces_[static_cast<size_t>(i)].Skip = !PieceTouchesSelected(i);
  }
  RecountWanted();
  return true;
}

void TPieces::SelectAll(bool deselect) {
  for (TPieceFile& file : files_) {
    file.Selection = deselect ? TPieceFile::kDeselected : 0;
    if (deselect) file.Handle.Close();
  }
  for (TPiece& piece : pieces_) piece.Skip = deselect;
  RecountWanted();
}

void TPieces::RecountWanted() {
  bytesWanted_ = 0;
  for (const TPieceFile& file : files_) {
    if (!file.Deselected()) bytesWanted_ += file.Length;
  }
  piecesWanted_ = std::count_if(pieces_.begin(), pieces_.end(), [](const TPiece& p) { return !p.Skip; });
  donePieces_ = CountDoneOrSkipped();
}

bool TPieces::FileHasMissingPieces(const TPieceFile& file) const {
  for (int64_t i = file.FirstPiece; i < file.FirstPiece + file.PieceCount; ++i) {
    if (!IsPieceComplete(i)) return true;
  }
  return false;
}

// ---- files ----

bool TPieces::GetPieceFiles(int64_t index, std::vector<Span>* spans) {
  spans->clear();
  TPiece* piece = PieceAt(index);
  if (!piece) return false;
  if (piece->FirstFile < 0) {
    const int64_t start = index * pieceLength_;
    auto it = std::upper_bound(files_.begin(), files_.end(), start,
                               [](int64_t at, const TPieceFile& f) { return at < f.Offset; });
    // The last file starting at or before the piece; later empty files at the same offset sort
    // after it, so step back over them to the file that holds the byte.
    while (it != files_.begin() && std::prev(it)->Length == 0) --it;
    if (it == files_.begin()) return false;
    const TPieceFile& file = *std::prev(it);
    if (start >= file.Offset + file.Length) return false;
    piece->FirstFile = file.Index;
    piece->FirstFileOffset = start - file.Offset;
  }
  int64_t gathered = 0;
  int64_t fileOffset = piece->FirstFileOffset;
  for (size_t f = static_cast<size_t>(piece->FirstFile); f < files_.size() && gathered < piece->Size; ++f) {
    TPieceFile& file = files_[f];
    if (file.Length == 0) {
      file.Handle.Close();
      continue;
    }
    int64_t length = std::min<int64_t>(piece->Size - gathered, file.Length - fileOffset);
    spans->push_back(Span{file.Index, fileOffset, length});
    gathered += length;
    fileOffset = 0;
  }
  return gathered == piece->Size;
}

void TPieces::ReportDiskFull() {
  if (waitingForDisk_) return;
  waitingForDisk_ = true;
  Send(TPiecesEvent::kWaitingForDisk, 1, 0, nullptr);
}

void TPieces::ReportDiskAvailable() {
  if (!waitingForDisk_) return;
  waitingForDisk_ = false;
  Send(TPiecesEvent::kDiskAvailable, 1, 0, nullptr);
}

bool TPieces::WaitForDiskSpace(const std::string& path, int64_t need) {
  std::string folder = platform::DirectoryOf(path.substr(0, kMaxFolderText));
  int64_t available = freeSpace_(folder);
  if (available < 0) available = kUnknownFreeSpace;
  bool waited = false;
  while (available < need) {
    if (!waited) {
      waited = true;
      ReportDiskFull();
    }
    if (task_.StopRequested()) return false;
    platform::SleepMs(kDiskWaitMs);
    available = freeSpace_(folder);
    if (available < 0) available = kUnknownFreeSpace;
  }
  if (waited) ReportDiskAvailable();
  return true;
}

bool TPieces::ExtendFile(TPieceFile& file, int64_t target, bool noExtend) {
  int64_t size = file.Handle.Size();
  if (!WaitForDiskSpace(file.Path, target - size)) return false;
  if (noExtend) return true;
  QScopedLock lock(QDiskFile::DiskLock());
  if (!file.Handle.Allocate(target)) {
    // A full disk found by the allocation itself is still a full disk, not a broken one.
    if (file.Handle.NoSpace()) {
      ReportDiskFull();
    } else {
      Send(TPiecesEvent::kFileFailed, 1, 0, nullptr);
    }
    file.Handle.Close();
    return false;
  }
  ReportDiskAvailable();
  return true;
}

bool TPieces::OpenFileForRange(int32_t index, int64_t end, bool forWriting, bool noExtend) {
  if (index < 0 || index >= static_cast<int32_t>(files_.size())) return false;
  TPieceFile& file = files_[static_cast<size_t>(index)];
  if (end < 0 || end > file.Length) return false;
  QDiskFile& handle = file.Handle;
  if (forWriting && handle.IsOpen() && !handle.Writable()) handle.Close();
  if (!handle.IsOpen()) {
    if (forWriting) {
      if (!handle.Open(file.Path, QDiskFile::kReadWrite)) {
        platform::MakeDirectories(platform::DirectoryOf(file.Path));
        if (!handle.Open(file.Path, QDiskFile::kReadWrite)) {
          if (handle.NoSpace()) {
            ReportDiskFull();
          } else {
            Send(TPiecesEvent::kFileFailed, 1, 0, nullptr);
          }
          return false;
        }
      }
    } else if (!handle.Open(file.Path, QDiskFile::kReadOnly)) {
      return false;
    }
  }
  int64_t size = handle.Size();
  if (size < 0) {
    Send(TPiecesEvent::kFileFailed, 1, 0, nullptr);
    return false;
  }
  if (size > file.Length) {
    QDiskFile::Mode former = handle.OpenMode();
    if (!handle.Writable() && !handle.Open(file.Path, QDiskFile::kReadWrite)) return false;
    bool cut = handle.Truncate(file.Length);
    handle.Close();
    if (!cut || !handle.Open(file.Path, former == QDiskFile::kReadOnly ? former : QDiskFile::kReadWrite)) {
      return false;
    }
    size = handle.Size();
    if (size != file.Length) return false;
  }
  if (forWriting) {
    // Whole-file allocation; a deselected file only grows as far as its boundary pieces need.
    int64_t target = file.Deselected() ? end : file.Length;
    if (target > size) {
      if (!ExtendFile(file, target, noExtend)) return false;
      size = handle.IsOpen() ? handle.Size() : -1;
    }
  }
  return size >= end && IsValid();
}

int64_t TPieces::TransferSpans(int64_t index, const std::vector<platform::ByteRun>& runs, int64_t offset,
                               bool write) {
  std::vector<Span> spans;
  if (!GetPieceFiles(index, &spans)) return -1;
  int64_t length = 0;
  for (const platform::ByteRun& run : runs) length += run.length;
  auto run = runs.begin();
  int64_t runStart = offset;  // piece offset of run's first byte
  int64_t done = 0;
  int64_t spanStart = 0;
  for (const Span& span : spans) {
    const int64_t spanEnd = spanStart + span.length;
    int64_t from = std::max(offset, spanStart);
    const int64_t to = std::min(offset + length, spanEnd);
    if (from < to) {
      TPieceFile& file = files_[static_cast<size_t>(span.file)];
      const int64_t needEnd = span.fileOffset + (write ? span.length : to - spanStart);
      if (!OpenFileForRange(span.file, needEnd, write, false)) break;
      int64_t moved = 0;
      int64_t want = 0;
      if (write) {
        // The span's share of the runs goes to disk in one call.
        std::vector<platform::ByteRun> gathered;
        const int64_t position = span.fileOffset + (from - spanStart);
        for (int64_t at = from; at < to; at += gathered.back().length) {
          while (runStart + run->length <= at) runStart += (run++)->length;
          gathered.push_back({run->data + (at - runStart), std::min(to, runStart + run->length) - at});
        }
        want = to - from;
        QScopedLock lock(QDiskFile::DiskLock());
        moved = file.Handle.WriteRuns(gathered, position);
        if (moved > 0) done += moved;
      } else {
        QScopedLock lock(QDiskFile::DiskLock());
        for (; from < to && moved == want; from += want) {
          while (runStart + run->length <= from) runStart += (run++)->length;
          want = std::min(to, runStart + run->length) - from;
          // Reads land in the caller's buffer, which is writable.
          uint8_t* data = const_cast<uint8_t*>(run->data) + (from - runStart);
          moved = file.Handle.Read(data, want, span.fileOffset + (from - spanStart));
          if (moved > 0) done += moved;
        }
      }
      if (moved < 0 && write && file.Handle.NoSpace()) ReportDiskFull();
      if (moved != want) break;
    }
    spanStart = spanEnd;
    if (spanStart >= offset + length) break;
  }
  return done > 0 ? done : (length > 0 ? -1 : 0);
}

int64_t TPieces::WritePieceData(int64_t index, const uint8_t* data, int64_t length,
                                int64_t offset, bool trusted) {
  TPiece* piece = PieceAt(index);
  if (!piece || !data || offset < 0 || offset >= piece->Size || length <= 0) return -1;
  length = std::min<int64_t>(length, piece->Size - offset);
  const int64_t written = TransferSpans(index, {platform::ByteRun{data, length}}, offset, true);
  const bool reachedEnd = written > 0 && offset + written == piece->Size;
  return SettleWrite(*piece, offset, written,
                     trusted || !reachedEnd || VerifyData(*piece, data, offset, written));
}

// Records a write of a piece's bytes from offset: whole and sound data makes it complete.
int64_t TPieces::SettleWrite(TPiece& piece, int64_t offset, int64_t written, bool sound) {
  const bool reachedEnd = written > 0 && offset + written == piece.Size;
  piece.Verified = reachedEnd && sound;
  piece.Dirty = false;
  SetPieceState(piece.Index, piece.Verified);
  return reachedEnd && !sound ? -100 : written;
}

// Writes held bytes straight from the chunks; they are verified already, or end before the
// piece does.
int64_t TPieces::WriteHeld(TPiece& piece, int32_t offset, int32_t length) {
  std::vector<platform::ByteRun> runs;
  runs.reserve(static_cast<size_t>(length / piece.Blocks.ChunkSize() + 2));
  piece.Blocks.ForEachRun(offset, length, [&runs](const uint8_t* data, int32_t n) {
    runs.push_back(platform::ByteRun{data, n});
  });
  return SettleWrite(piece, offset, TransferSpans(piece.Index, runs, offset, true), true);
}

int64_t TPieces::ReadPieceData(int64_t index, uint8_t* out, int64_t length, int64_t offset,
                               int32_t readAheadHint, bool anyState) {
  TPiece* piece = PieceAt(index);
  if (!piece || !out || offset < 0 || offset >= piece->Size || length <= 0) return -1;
  length = std::min<int64_t>(length, piece->Size - offset);
  ++readRequests_;
  const bool complete = IsPieceComplete(index);
  if (!complete && !anyState) return 0;
  const int32_t at = static_cast<int32_t>(offset);
  if (piece->Blocks.HasRange(at, static_cast<int32_t>(length))) {
    ++readHits_;
    piece->Blocks.CopyOut(at, static_cast<int32_t>(length), out);
    if (complete) piece->LastActivity = Now();
    return length;
  }
  // Only what is on disk: the whole of a complete piece, the hashed prefix of any other.
  const int64_t onDisk = complete ? piece->Size : piece->HashedPrefix;
  if (offset + length > onDisk) return 0;
  const int64_t start = offset / kBlockSize * kBlockSize;
  const int64_t needed = (offset + length - start + kBlockSize - 1) / kBlockSize * kBlockSize;
  const int64_t ahead = readAheadHint > 0 ? int64_t{6} * readAheadHint / kBlockSize * kBlockSize
                                          : 4 * kBlockSize;
  int64_t run = std::min(needed + ahead, onDisk - start);
  const int64_t window = 4 * kBlockSize;
  if (run > window && piece->Blocks.HasRange(static_cast<int32_t>(start + window),
                                             static_cast<int32_t>(run - window))) {
    run = std::max(window, std::min(needed, onDisk - start));
  }
  PoolBuffer buffer(run);
  if (!buffer.get()) return -1;
  int64_t got = TransferSpans(index, {platform::ByteRun{buffer.get(), run}}, start, false);
  if (got < offset + length - start) return -1;
  if (complete) {
    for (int64_t at2 = start; at2 < start + got; at2 += kBlockSize) {
      int32_t blockLength = piece->Blocks.BlockLength(static_cast<int32_t>(at2));
      if (blockLength == 0 || at2 + blockLength > start + got) break;
      StoreInMemory(*piece, static_cast<int32_t>(at2), buffer.get() + (at2 - start), blockLength);
    }
    if (piece->Blocks.BytesHeld() == piece->Size) piece->Verified = true;
    piece->LastActivity = Now();
  }
  std::memcpy(out, buffer.get() + (offset - start), static_cast<size_t>(length));
  return length;
}

void TPieces::CloseFiles(bool forceSave, bool finish) {
  const bool checked = IsReady();
  if (finish && checked) FlushPieces();
  bool wrote = false;
  for (TPieceFile& file : files_) {
    wrote = wrote || file.Handle.Writable();
    file.Handle.Close();
  }
  const bool complete = IsComplete();
  if (finish && checked) {
    for (TPieceFile& file : files_) {
      if (file.UsesTempName && !file.Deselected() && (complete || !FileHasMissingPieces(file))) {
        file.FinishFile();
      }
    }
  }
  if (complete && checked) {
    for (TPiece& piece : pieces_) ReleaseState(piece);
    if (!pendingPath_.empty()) platform::RemoveFile(pendingPath_);
  }
  if ((wrote || forceSave) && checked) SaveResumeRecord();
}

// ---- records ----

void TPieces::SaveResumeRecord() {
  Send(TPiecesEvent::kResumeRecord, 1, 0, nullptr);
  std::vector<TResumeRecord::FileFacts> facts;
  for (TPieceFile& file : files_) {
    if (file.Path.empty()) break;
    TResumeRecord::FileFacts fact{file.Path, 0, -1, file.Selection};
    QDiskFile probe;
    QDiskFile* handle = &file.Handle;
    if (!handle->IsOpen() && probe.Open(file.Path, QDiskFile::kReadOnly)) handle = &probe;
    if (handle->IsOpen()) {
      // The record may count pieces complete only once their bytes are on stable storage.
      if (!handle->Sync() || !handle->LastWriteTime(&fact.time)) return;
      fact.size = handle->Size();
    }
    facts.push_back(std::move(fact));
  }
  std::vector<TResumeRecord::PartialPiece> partial;
  for (const TPiece& piece : pieces_) {
    if (piece.HashedPrefix > 0 && piece.Sha1State && !IsPieceComplete(piece.Index)) {
      partial.push_back({piece.Index, piece.HashedPrefix, piece.Sha1State});
    }
  }
  std::string record;
  if (!TResumeRecord::Encode(hasInfoHash_ ? infoHash_ : nullptr, facts, partial, bitfield_, &record)) {
    return;
  }
  resumeSaveDue_ = false;
  Send(TPiecesEvent::kResumeRecord, 1, static_cast<int32_t>(record.size()), record.data());
}

void TPieces::RefreshResumeRecord() {
  if (resumeSaveDue_ && IsReady()) SaveResumeRecord();
}

void TPieces::ReportFileSelection() {
  std::vector<std::pair<std::string, bool>> selection;
  for (const TPieceFile& file : files_) selection.emplace_back(file.RelativePath, file.Deselected());
  std::string list;
  if (!TResumeRecord::EncodeFileSelection(selection, &list)) return;
  Send(TPiecesEvent::kFileSelection, 1, static_cast<int32_t>(list.size()), list.data());
}

bool TPieces::SavePendingBlocks() {
  if (pendingPath_.empty() || !IsReady()) return false;
  if (IsComplete()) {
    platform::RemoveFile(pendingPath_);
    return true;
  }
  std::vector<const TPiece*> held;
  for (const TPiece& piece : pieces_) {
    if (!IsPieceComplete(piece.Index) && piece.Blocks.AnyFrom(piece.HashedPrefix)) held.push_back(&piece);
  }
  static const uint8_t kNoHash[20] = {};
  return TPendingBlocks::Save(pendingPath_, hasInfoHash_ ? infoHash_ : kNoHash, held);
}

}  // namespace bw
