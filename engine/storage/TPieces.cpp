#include "engine/storage/TPieces.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "engine/common/QBufferPool.h"
#include "engine/storage/TFileLayout.h"
#include "engine/storage/TPieceHasher.h"
#include "engine/storage/TStartupState.h"
#include "engine/storage/TorrentPath.h"

namespace bw {

namespace {

// A template names its sizes in text; the piece table it asks for stays small (tens of MiB).
constexpr int64_t kMaxTemplatePieces = int64_t{1} << 18;
constexpr const char* kTemplateFileName = "001.bwinfo";

}  // namespace

TPieces::TPieces(IPiecesTask& task) : task_(task), storage_(task) {}

TPieces::~TPieces() {
  storage_.CancelWrites();
  verifier_.reset();
  for (TPiece& piece : pieces_) TPieceHasher::ReleaseStates(piece);
  ReleaseSources();
}

QBufferPool& TPieces::PiecePool() {
  static QBufferPool pool;
  return pool;
}

QBufferPool& TPieces::StatePool() { return TPieceHasher::StatePool(); }

void TPieces::SetSaveDirectory(const std::string& directory) { saveDirectory_ = WithTrailingSlash(directory); }

void TPieces::SetInfoHash(const uint8_t hash[20]) {
  std::memcpy(infoHash_, hash, sizeof infoHash_);
  hasInfoHash_ = true;
}

TPiece* TPieces::PieceAt(int64_t index) {
  return index >= 0 && index < static_cast<int64_t>(pieces_.size()) ? &pieces_[static_cast<size_t>(index)] : nullptr;
}

void TPieces::Send(int32_t type, int32_t value, int32_t size, const void* data) {
  task_.OnPiecesEvent(TPiecesEvent{type, value, size, data});
}

// ---- building ----

bool TPieces::LoadInfo(const QElement& info, TPieces* previous) {
  Reset();
  TFileLayout layout;
  if (!layout.Build(info, saveDirectory_, targetPath_)) return false;
  storage_.Assign(std::move(layout.Files));
  notDurable_.assign(storage_.Files().size(), {});
  pieceLength_ = layout.PieceLength;
  pieceCount_ = layout.PieceCount;
  totalLength_ = layout.TotalLength;
  hashes_ = std::move(layout.Hashes);
  valid_ = true;
  if (!BuildPieces() || !StartUp(previous)) {
    Reset();
    return false;
  }
  CheckCounters();
  return true;
}

bool TPieces::LoadTemplate(int64_t totalLength, int64_t pieceLength) {
  Reset();
  if (pieceLength <= 0 || pieceLength % kBlockSize != 0 || pieceLength > TFileLayout::kMaxPieceLength ||
      totalLength <= 0 || (totalLength + pieceLength - 1) / pieceLength > kMaxTemplatePieces) {
    return false;
  }
  TPieceFile file;
  file.Length = totalLength;
  file.PieceCount = TFileLayout::FilePieceCount(0, totalLength, pieceLength);
  file.SetFinalPath(CleanPathText(targetPath_.empty() ? saveDirectory_ + kTemplateFileName : targetPath_));
  const std::string& finalPath = file.FinalPath.empty() ? file.Path : file.FinalPath;
  file.RelativePath = finalPath.substr(finalPath.rfind('/') + 1);
  std::vector<TPieceFile> files;
  files.push_back(std::move(file));
  storage_.Assign(std::move(files));
  notDurable_.assign(1, {});
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
  CheckCounters();
  return true;
}

bool TPieces::StartUp(TPieces* previous) {
  TStartupState startup(*this, task_);
  startup.ApplyFileSelection();
  return startup.RestoreState(previous) && startup.PrepareFiles() && !task_.StopRequested();
}

bool TPieces::BuildPieces() {
  if (totalLength_ <= 0 || pieceCount_ <= 0 || pieceLength_ <= 0 || storage_.Files().empty()) return false;
  if (pieceCount_ > INT32_MAX || pieceCount_ * pieceLength_ < totalLength_ ||
      pieceCount_ * pieceLength_ - totalLength_ >= pieceLength_) {
    return false;
  }
  pieces_.clear();
  pieces_.reserve(static_cast<size_t>(pieceCount_));
  for (int64_t i = 0; i < pieceCount_; ++i) {
    if (valid_ && static_cast<size_t>(20 * i + 20) > hashes_.size()) break;
    TPiece& piece = pieces_.emplace_back();
    piece.Index = static_cast<int32_t>(i);
    piece.Size = static_cast<int32_t>(std::min(pieceLength_, totalLength_ - i * pieceLength_));
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

void TPieces::Reset() {
  // The pieces go: what is in flight is not worth waiting for.
  if (verifier_) verifier_->CancelAll();
  verdicts_.clear();
  storage_.CancelWrites();
  for (TPiece& piece : pieces_) piece.Hashing = piece.Writing = false;
  writesInFlight_ = 0;
  if (!storage_.Files().empty()) {
    CloseFiles(false, false);
    ReportFileSelection();
  }
  for (TPiece& piece : pieces_) {
    DropMemory(piece);
    TPieceHasher::ReleaseStates(piece);
  }
  ReleaseSources();
  pieces_.clear();
  notDurable_.clear();
  storage_.Clear();
  writtenLog_.Close();
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
  resumeSaveDue_ = false;
  writeDue_ = false;
}

// ---- start-up ----

void TPieces::ForgetPresence() {
  for (TPiece& piece : pieces_) {
    DropMemory(piece);
    TPieceHasher::ReleaseStates(piece);
  }
  std::fill(bitfield_.begin(), bitfield_.end(), '\0');
  bytesComplete_ = bytesChecked_ = 0;
  lastCompleted_ = -1;
  RecountWanted();
}

void TPieces::StartEmpty() {
  RecountWanted();
  bytesChecked_ = totalLength_;
  storage_.CloseAll();
}

void TPieces::MarkAllComplete() {
  for (int64_t i = 0; i < pieceCount_; ++i) bitfield_[static_cast<size_t>(i / 8)] |= static_cast<char>(0x80 >> (i % 8));
  bytesComplete_ = totalLength_;
  lastCompleted_ = static_cast<int32_t>(pieceCount_ - 1);
  RecountWanted();
}

bool TPieces::RestoreHashedPrefix(int64_t index, int32_t part, const uint8_t* state) {
  TPiece* piece = PieceAt(index);
  return piece && TPieceHasher::RestorePrefix(*piece, part, state);
}

bool TPieces::RestorePendingRecord(const TPendingBlocks::Record& record) {
  TPiece* piece = PieceAt(record.index);
  if (!piece || IsPieceComplete(record.index) || piece->Skip || piece->Verified) return true;
  if (piece->HashedPrefix + piece->Blocks.BytesHeld() >= piece->Size) {
    if (!VerifyHeld(*piece)) {
      DropMemory(*piece);
      DropPartialState(*piece);
    }
    return true;
  }
  if (record.part != piece->HashedPrefix) {
    DropMemory(*piece);
    DropPartialState(*piece);
    return false;
  }
  for (const TPendingBlocks::Block& block : record.blocks) {
    StoreInMemory(*piece, block.offset, block.data, piece->Blocks.BlockLength(block.offset));
  }
  piece->LastActivity = Now();
  if (piece->HashedPrefix + piece->Blocks.BytesHeld() >= piece->Size) {
    // Blocks from disk are trusted no more than blocks from a peer.
    if (VerifyHeld(*piece)) {
      MarkVerifiedInMemory(*piece);
    } else {
      DropMemory(*piece);
      DropPartialState(*piece);
    }
  }
  return true;
}

void TPieces::TakeBlocks(int64_t index, const std::vector<int32_t>& offsets, const uint8_t* pieceData) {
  TPiece* piece = PieceAt(index);
  if (!piece || offsets.empty()) return;
  for (int32_t offset : offsets) {
    StoreInMemory(*piece, offset, pieceData + offset, piece->Blocks.BlockLength(offset));
  }
  piece->LastActivity = Now();
  WritePrefix(*piece, piece->Blocks.ChunkSize());
}

void TPieces::DropPieceMemory(int64_t index) {
  if (TPiece* piece = PieceAt(index)) DropMemory(*piece);
}

TPendingBlocks::Layout TPieces::PendingLayout() const {
  static const uint8_t kNoHash[20] = {};
  return {hasInfoHash_ ? infoHash_ : kNoHash, pieceLength_, totalLength_};
}

// ---- queries ----

bool TPieces::IsValid() const {
  if (pieces_.empty() || storage_.Files().empty() || totalLength_ <= 0) return false;
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

// A piece verified (or being verified) in memory and not yet written is no longer missing: no
// source fetches it again.
bool TPieces::IsPieceWanted(int64_t index) const {
  return IsPieceValid(index) && !Piece(index).Skip && !Piece(index).Verified && !Piece(index).Hashing &&
         !IsPieceComplete(index);
}

bool TPieces::HasBlock(int64_t piece, int64_t offset, int64_t length) const {
  if (!IsPieceValid(piece) || offset < 0 || length <= 0) return false;
  return IsPieceComplete(piece) ||
         Piece(piece).Blocks.HasRange(static_cast<int32_t>(offset), static_cast<int32_t>(length));
}

bool TPieces::HasGlobalBlock(int64_t block) const {
  if (block < 0 || block >= (totalLength_ + kBlockSize - 1) / kBlockSize) return false;
  int64_t start = block * kBlockSize;
  return HasBlock(start / pieceLength_, start % pieceLength_, std::min<int64_t>(kBlockSize, totalLength_ - start));
}

int32_t TPieces::PieceBytesInMemory(int64_t index) const {
  return IsPieceValid(index) ? Piece(index).Blocks.BytesHeld() : 0;
}

int32_t TPieces::CountDoneOrSkipped() const {
  int32_t count = 0;
  for (const TPiece& piece : pieces_) count += piece.Skip || IsPieceComplete(piece.Index);
  return count;
}

#ifndef NDEBUG
void TPieces::CheckCounters() const {
  int64_t complete = 0;
  int64_t held = 0;
  int64_t dirty = 0;
  int32_t writing = 0;
  for (const TPiece& piece : pieces_) {
    writing += piece.Writing;
    if (IsPieceComplete(piece.Index)) complete += piece.Size;
    held += piece.Blocks.BytesHeld();
    if (piece.Dirty) {
      assert(piece.Verified && "a dirty piece is a verified one");
      dirty += piece.Blocks.BytesHeld();
    }
  }
  assert(complete == bytesComplete_ && "complete bytes agree with the bitfield");
  assert(held == cacheBytes_ && "cache bytes agree with the blocks held");
  assert(dirty == dirtyBytes_ && "dirty bytes agree with the dirty pieces");
  assert(writing == writesInFlight_ && "writes in flight agree with the pieces being written");
  assert(donePieces_ == std::min<int64_t>(CountDoneOrSkipped(), pieceCount_) && "done pieces agree");
}
#endif

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
  ForgetSources(*piece);
  piece->Verified = false;
  CheckCounters();
}

const uint8_t* TPieces::ExpectedHash(int64_t index) const {
  if (!valid_ || index < 0 || static_cast<uint64_t>(index) >= hashes_.size() / 20) return nullptr;
  return reinterpret_cast<const uint8_t*>(hashes_.data()) + 20 * index;
}

void TPieces::AddSource(TPiece& piece, IPieceSource* source) {
  const bool hasData = piece.HashedPrefix > 0 || !piece.Blocks.Empty();
  auto found = sources_.find(piece.Index);
  if (found == sources_.end()) {
    found = sources_.emplace(piece.Index, PieceSources{{}, hasData}).first;
  } else if (!hasData) {
    // What it held is gone, and with it who had sent it.
    for (IPieceSource* old : found->second.list) old->Release();
    found->second = PieceSources{};
  }
  PieceSources& sources = found->second;
  if (!source) {
    sources.unknown = true;
  } else if (std::find(sources.list.begin(), sources.list.end(), source) == sources.list.end()) {
    source->AddRef();
    sources.list.push_back(source);
  }
}

void TPieces::ForgetSources(const TPiece& piece) {
  const auto found = sources_.find(piece.Index);
  if (found == sources_.end()) return;
  for (IPieceSource* source : found->second.list) source->Release();
  sources_.erase(found);
}

IPieceSource* TPieces::SoleSource(const TPiece& piece) const {
  const auto found = sources_.find(piece.Index);
  if (found == sources_.end() || found->second.unknown || found->second.list.empty()) return nullptr;
  const std::vector<IPieceSource*>& list = found->second.list;
  const void* source = list.front()->Source();
  if (!std::all_of(list.begin(), list.end(), [source](const IPieceSource* s) { return s->Source() == source; })) {
    return nullptr;
  }
  // Its latest connection: the one that may still be sending.
  return list.back();
}

void TPieces::ReleaseSources() {
  for (const auto& [index, sources] : sources_) {
    for (IPieceSource* source : sources.list) source->Release();
  }
  sources_.clear();
}

void TPieces::StoreInMemory(TPiece& piece, int32_t offset, const uint8_t* data, int32_t length) {
  int32_t before = piece.Blocks.BytesHeld();
  piece.Blocks.Store(PiecePool(), offset, data, length);
  cacheBytes_ += piece.Blocks.BytesHeld() - before;
}

void TPieces::DropMemory(TPiece& piece) {
  if (piece.Hashing) CancelHashing(piece);
  if (piece.Writing) {
    storage_.CancelWrite(piece.Index);
    piece.Writing = false;
    --writesInFlight_;
  }
  int32_t held = piece.Blocks.BytesHeld();
  cacheBytes_ = std::max<int64_t>(cacheBytes_ - held, 0);
  if (piece.Dirty) dirtyBytes_ = std::max<int64_t>(dirtyBytes_ - held, 0);
  piece.Blocks.Clear();
  TPieceHasher::ReleaseAhead(piece);
  piece.Dirty = false;
  if (!IsPieceComplete(piece.Index)) piece.Verified = false;
}

void TPieces::DropPartialState(TPiece& piece) {
  if (piece.HashedPrefix > 0) resumeSaveDue_ = true;
  TPieceHasher::ReleaseStates(piece);
}

// ---- verification ----

bool TPieces::VerifyHeld(TPiece& piece) {
  return !valid_ || TPieceHasher::VerifyHeld(piece, ExpectedHash(piece.Index));
}

void TPieces::HashInBackground(bool on) {
  if (on == (verifier_ != nullptr)) return;
  if (on) {
    verifier_ = std::make_unique<TPieceVerifier>();
  } else {
    SettleVerdicts();
    verifier_.reset();
  }
}

void TPieces::WriteInBackground(bool on) {
  if (!on) TakeWritten(true);
  storage_.WriteInBackground(on);
}

bool TPieces::HandOver(TPiece& piece) {
  const int32_t from = piece.HashedPrefix;
  if (!verifier_ || !valid_ || from % piece.Blocks.ChunkSize() != 0 ||
      !piece.Blocks.HasRange(from, piece.Size - from) || (from > 0 && !piece.Sha1State)) {
    return false;
  }
  // No room: the task thread waits for the hasher, and the sources are not read meanwhile.
  TPieceVerifier::Verdict verdict;
  while (verifier_->Full() && verifier_->TakeOldest(&verdict)) verdicts_.push_back(verdict);
  TPieceVerifier::Job job;
  job.index = piece.Index;
  job.fromState = from > 0;
  if (job.fromState) std::memcpy(job.state, piece.Sha1State, sizeof job.state);
  std::memcpy(job.expected, ExpectedHash(piece.Index), sizeof job.expected);
  piece.Blocks.ForEachRun(from, piece.Size - from,
                          [&job](const uint8_t* data, int32_t n) { job.runs.push_back({data, n}); });
  TPieceHasher::ReleaseAhead(piece);
  piece.Hashing = true;
  verifier_->HandOver(std::move(job));
  return true;
}

bool TPieces::AwaitsResults() const {
  return writesInFlight_ > 0 || (verifier_ && verifier_->InFlight() > 0);
}

void TPieces::TakeVerdicts() {
  if (!verifier_) return;
  // Verdicts taken while waiting for room came first.
  std::vector<TPieceVerifier::Verdict> ready = verifier_->TakeReady();
  verdicts_.insert(verdicts_.end(), ready.begin(), ready.end());
  std::vector<TPieceVerifier::Verdict> taken;
  taken.swap(verdicts_);
  for (const TPieceVerifier::Verdict& verdict : taken) ApplyVerdict(verdict);
  CheckCounters();
}

void TPieces::SettleVerdicts() {
  if (!verifier_) return;
  TPieceVerifier::Verdict verdict;
  while (verifier_->TakeOldest(&verdict)) verdicts_.push_back(verdict);
  TakeVerdicts();
}

void TPieces::ApplyVerdict(const TPieceVerifier::Verdict& verdict) {
  TPiece* piece = PieceAt(verdict.index);
  if (!piece || !piece->Hashing) return;
  piece->Hashing = false;
  if (verdict.passed) {
    MarkVerifiedInMemory(*piece);
  } else {
    ReportFailure(*piece);
  }
}

void TPieces::CancelHashing(TPiece& piece) {
  verifier_->Cancel(piece.Index);
  std::erase_if(verdicts_, [&piece](const TPieceVerifier::Verdict& v) { return v.index == piece.Index; });
  piece.Hashing = false;
}

void TPieces::MarkVerifiedInMemory(TPiece& piece) {
  if (const auto found = sources_.find(piece.Index); found != sources_.end()) {
    for (IPieceSource* source : found->second.list) source->ResetFailures();
  }
  piece.Dirty = piece.Verified = true;
  writeDue_ = true;
  // Old enough to be written at the next cache round, young enough to stay as a read cache.
  piece.LastActivity = Now() - kHour / 2 - 5;
  dirtyBytes_ += piece.Blocks.BytesHeld();
}

// Only a piece whose data one source sent is charged: of several, the honest one that finished
// it (in the end game, say) would be charged as often as the one that lied.
void TPieces::ReportFailure(TPiece& piece) {
  if (IPieceSource* source = SoleSource(piece)) {
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
  ForgetSources(piece);
  int32_t index = piece.Index;
  Send(TPiecesEvent::kPieceFailed, 0, 4, &index);
}

// ---- receiving ----

int64_t TPieces::ReceiveBlock(int64_t block, int32_t length, const uint8_t* data, IPieceSource* source,
                              bool* accepted) {
  if (accepted) *accepted = false;
  if (block < 0 || !data || pieceLength_ <= 0 || block > totalLength_ / kBlockSize) return -1;
  const int64_t start = block * kBlockSize;
  TPiece* piece = PieceAt(start / pieceLength_);
  if (!piece) return -1;
  const int32_t offset = static_cast<int32_t>(start % pieceLength_);
  if (length <= 0 || length != piece->Blocks.BlockLength(offset)) return -1;
  if (!IsPieceWanted(piece->Index)) return length;
  if (offset >= piece->HashedPrefix) {
    AddSource(*piece, source);
    StoreInMemory(*piece, offset, data, length);
    piece->LastActivity = Now();
    // A failure here only means the whole piece is hashed when it is verified. With a verifier
    // the whole piece is hashed there instead.
    if (valid_ && !piece->Verified && !verifier_) TPieceHasher::HashAhead(*piece);
  }
  if (!piece->Verified && piece->Blocks.BytesHeld() + piece->HashedPrefix >= piece->Size) {
    if (HandOver(*piece)) {
      if (accepted) *accepted = true;
      return length;
    }
    if (!VerifyHeld(*piece)) {
      ReportFailure(*piece);
      CheckCounters();
      return kFailedCheck;
    }
    MarkVerifiedInMemory(*piece);
  }
  CheckCounters();
  if (accepted) *accepted = true;
  return length;
}

std::span<uint8_t> TPieces::BlockSpace(int64_t block, int64_t length) {
  if (block < 0 || pieceLength_ <= 0 || block > totalLength_ / kBlockSize) return {};
  const int64_t start = block * kBlockSize;
  TPiece* piece = PieceAt(start / pieceLength_);
  const auto offset = static_cast<int32_t>(start % pieceLength_);
  // Only memory no other thread reads and no hash has passed over yet.
  if (!piece || !IsPieceWanted(piece->Index) || piece->Verified || piece->Hashing || piece->Writing ||
      offset < piece->HashedPrefix) {
    return {};
  }
  return piece->Blocks.Space(PiecePool(), offset, static_cast<int32_t>(std::min<int64_t>(length, piece->Size)));
}

int64_t TPieces::ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t readAheadHint, bool anyState) {
  if (block < 0 || pieceLength_ <= 0) return -1;
  const int64_t start = block * kBlockSize;
  return ReadPieceData(start / pieceLength_, out, length, start % pieceLength_, readAheadHint, anyState);
}

// ---- writing out ----

bool TPieces::WriteRest(TPiece& piece) {
  const int32_t from = piece.HashedPrefix;
  const int32_t rest = piece.Size - from;
  if (!piece.Dirty || !piece.Blocks.HasRange(from, rest)) return false;
  if (piece.Writing) return true;
  if (!storage_.WritesInBackground()) {
    return SettleRest(piece, TransferPiece(piece, HeldRuns(piece, from, rest), from, true));
  }
  const bool queued = IsValid() && storage_.QueueWrite(piece.Index, int64_t{piece.Index} * pieceLength_, piece.Size,
                                                      from, HeldRuns(piece, from, rest));
  piece.Writing = queued;
  writesInFlight_ += queued;
  RecordResize();  // may settle the write at once
  return queued;
}

bool TPieces::SettleRest(TPiece& piece, int64_t written) {
  const int32_t held = piece.Blocks.BytesHeld();
  if (SettleWrite(piece, piece.HashedPrefix, written, true) != piece.Size - piece.HashedPrefix) {
    // Verified data is never given up: it stays in memory to be written (or saved with the
    // pending blocks) once the disk takes it.
    piece.Dirty = piece.Verified = true;
    writeDue_ = true;
    return false;
  }
  dirtyBytes_ = std::max<int64_t>(dirtyBytes_ - held, 0);
  TPieceHasher::ReleaseStates(piece);
  ForgetSources(piece);
  return true;
}

void TPieces::TakeWritten(bool settle) {
  for (const TPieceWriter::Done& done : storage_.TakeWritten(settle)) {
    TPiece* piece = PieceAt(done.index);
    if (!piece || !piece->Writing) continue;
    piece->Writing = false;
    --writesInFlight_;
    SettleRest(*piece, done.written);
  }
  CheckCounters();
}

int64_t TPieces::WritePrefix(TPiece& piece, int32_t minimum) {
  if (piece.Verified || piece.Hashing || piece.Blocks.Empty()) return 0;
  const int32_t run = piece.Blocks.RunFrom(piece.HashedPrefix);
  if (piece.HashedPrefix + run >= piece.Size) {
    if (!VerifyHeld(piece)) {
      ReportFailure(piece);
      return kFailedCheck;
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
  const bool fed = TPieceHasher::ExtendPrefix(piece, bytes);
  const int32_t before = piece.Blocks.BytesHeld();
  if (!fed || !piece.Blocks.ReleasePrefix(piece.HashedPrefix + bytes)) {
    DropMemory(piece);
    DropPartialState(piece);
    return kFailedCheck;
  }
  cacheBytes_ = std::max<int64_t>(cacheBytes_ - (before - piece.Blocks.BytesHeld()), 0);
  piece.HashedPrefix += bytes;
  // A running hash that has not reached the new prefix cannot go on: its blocks are gone.
  if (piece.HashedAhead < piece.HashedPrefix) TPieceHasher::ReleaseAhead(piece);
  resumeSaveDue_ = true;
  return bytes;
}

}  // namespace bw
