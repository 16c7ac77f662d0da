// The piece map's data on disk: pieces written and read through the storage, the files closed
// and finished, and the records the task keeps of them.
#include <algorithm>
#include <cstring>

#include "engine/common/QBufferPool.h"
#include "engine/storage/TPieceHasher.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TResumeRecord.h"
#include "platform/File.h"

namespace bw {

namespace {

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

bool TPieces::GetPieceFiles(int64_t index, std::vector<Span>* spans) {
  spans->clear();
  const TPiece* piece = PieceAt(index);
  return piece && storage_.SpansOf(index * pieceLength_, piece->Size, spans);
}

bool TPieces::OpenFileForRange(int32_t index, int64_t end, bool forWriting, bool noExtend) {
  return storage_.OpenForRange(index, end, forWriting, noExtend) && IsValid();
}

int64_t TPieces::TransferPiece(const TPiece& piece, const std::vector<platform::ByteRun>& runs, int64_t offset,
                               bool write) {
  if (!IsValid()) return -1;
  const int64_t moved = storage_.Transfer(int64_t{piece.Index} * pieceLength_, piece.Size, offset, runs, write);
  RecordResize();
  return moved;
}

void TPieces::RecordResize() {
  // A record taken before a file was allocated no longer fits it: the task gets a fresh one.
  if (storage_.TakeResized() && IsReady()) SaveResumeRecord();
}

int64_t TPieces::WritePieceData(int64_t index, const uint8_t* data, int64_t length, int64_t offset, bool trusted) {
  TPiece* piece = PieceAt(index);
  if (!piece || !data || offset < 0 || offset >= piece->Size || length <= 0) return -1;
  length = std::min<int64_t>(length, piece->Size - offset);
  const int64_t written = TransferPiece(*piece, {platform::ByteRun{data, length}}, offset, true);
  const bool reachedEnd = written > 0 && offset + written == piece->Size;
  const int64_t result =
      SettleWrite(*piece, offset, written,
                  trusted || !reachedEnd || !valid_ || TPieceHasher::VerifyBytes(*piece, ExpectedHash(index), data, offset, written));
  CheckCounters();
  return result;
}

// Records a write of a piece's bytes from offset: whole and sound data makes it complete.
int64_t TPieces::SettleWrite(TPiece& piece, int64_t offset, int64_t written, bool sound) {
  const bool reachedEnd = written > 0 && offset + written == piece.Size;
  if (written > 0) NoteWritten(piece);
  if (reachedEnd && sound) writtenLog_.Append(piece.Index);
  piece.Verified = reachedEnd && sound;
  piece.Dirty = false;
  SetPieceState(piece.Index, piece.Verified);
  return reachedEnd && !sound ? -100 : written;
}

std::vector<platform::ByteRun> TPieces::HeldRuns(const TPiece& piece, int32_t offset, int32_t length) const {
  std::vector<platform::ByteRun> runs;
  runs.reserve(static_cast<size_t>(length / piece.Blocks.ChunkSize() + 2));
  piece.Blocks.ForEachRun(offset, length, [&runs](const uint8_t* data, int32_t n) {
    runs.push_back(platform::ByteRun{data, n});
  });
  return runs;
}

// Writes held bytes straight from the chunks; they are verified already, or end before the
// piece does.
int64_t TPieces::WriteHeld(TPiece& piece, int32_t offset, int32_t length) {
  return SettleWrite(piece, offset, TransferPiece(piece, HeldRuns(piece, offset, length), offset, true), true);
}

int64_t TPieces::ReadPieceData(int64_t index, uint8_t* out, int64_t length, int64_t offset, int32_t readAheadHint,
                               bool anyState) {
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
  const int64_t ahead = readAheadHint > 0 ? int64_t{6} * readAheadHint / kBlockSize * kBlockSize : 4 * kBlockSize;
  int64_t run = std::min(needed + ahead, onDisk - start);
  const int64_t window = 4 * kBlockSize;
  if (run > window &&
      piece->Blocks.HasRange(static_cast<int32_t>(start + window), static_cast<int32_t>(run - window))) {
    run = std::max(window, std::min(needed, onDisk - start));
  }
  PoolBuffer buffer(run);
  if (!buffer.get()) return -1;
  int64_t got = TransferPiece(*piece, {platform::ByteRun{buffer.get(), run}}, start, false);
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
  CheckCounters();
  return length;
}

int64_t TPieces::CopyBlock(int64_t block, int32_t length, uint8_t* out) {
  if (block < 0 || pieceLength_ <= 0 || !out) return -1;
  const int64_t start = block * kBlockSize;
  const TPiece* piece = PieceAt(start / pieceLength_);
  const int32_t offset = static_cast<int32_t>(start % pieceLength_);
  if (!piece || length <= 0 || length != piece->Blocks.BlockLength(offset)) return -1;
  if (piece->Blocks.Has(offset)) {
    piece->Blocks.CopyOut(offset, length, out);
    return length;
  }
  const int64_t onDisk = IsPieceComplete(piece->Index) ? piece->Size : piece->HashedPrefix;
  if (offset + length > onDisk) return 0;
  return TransferPiece(*piece, {platform::ByteRun{out, length}}, offset, false) == length ? length : -1;
}

bool TPieces::CheckPieceOnDisk(int64_t index) {
  TPiece* piece = PieceAt(index);
  // Without hashes nothing on disk can be told apart from what a crash left there.
  if (!piece || !valid_ || IsPieceComplete(index)) return false;
  PoolBuffer buffer(piece->Size);
  if (!buffer.get() || TransferPiece(*piece, {platform::ByteRun{buffer.get(), piece->Size}}, 0, false) != piece->Size ||
      !TPieceHasher::VerifyBytes(*piece, ExpectedHash(index), buffer.get(), 0, piece->Size)) {
    return false;
  }
  DropMemory(*piece);
  DropPartialState(*piece);
  SetPieceState(index, true);
  return true;
}

void TPieces::NoteWritten(const TPiece& piece) {
  std::vector<Span> spans;
  if (!storage_.SpansOf(int64_t{piece.Index} * pieceLength_, piece.Size, &spans)) return;
  for (const Span& span : spans) {
    std::vector<int32_t>& written = notDurable_[static_cast<size_t>(span.file)];
    if (written.empty() || written.back() != piece.Index) written.push_back(piece.Index);
  }
}

void TPieces::SettleDurability() {
  std::vector<int32_t> failed;
  std::vector<int32_t> durable;
  storage_.CheckDurability(&failed, &durable);
  for (int32_t file : durable) notDurable_[static_cast<size_t>(file)].clear();
  for (int32_t file : failed) {
    for (int32_t index : notDurable_[static_cast<size_t>(file)]) {
      TPiece& piece = pieces_[static_cast<size_t>(index)];
      // Not complete first: dropping the memory of a complete piece keeps it counted as verified.
      SetPieceState(index, false);
      DropMemory(piece);
      DropPartialState(piece);
    }
    notDurable_[static_cast<size_t>(file)].clear();
  }
}

void TPieces::LimitOpenFiles() {
  // What was written is known before its durability is.
  TakeWritten(true);
  storage_.LimitOpen(pieceLength_);
  SettleDurability();
}

void TPieces::CloseFiles(bool forceSave, bool finish) {
  SettleVerdicts();
  const bool checked = IsReady();
  if (finish && checked) FlushPieces();
  TakeWritten(true);
  const bool wrote = storage_.CloseAll();
  SettleDurability();
  const bool complete = IsComplete();
  if (finish && checked) {
    for (TPieceFile& file : storage_.Files()) {
      if (file.UsesTempName && !file.Deselected() && (complete || !FileHasMissingPieces(file))) {
        file.FinishFile();
      }
    }
  }
  if (complete && checked) {
    for (TPiece& piece : pieces_) TPieceHasher::ReleaseStates(piece);
    if (!pendingPath_.empty()) platform::RemoveFile(pendingPath_);
    writtenLog_.Remove();
  }
  if ((wrote || forceSave) && checked) SaveResumeRecord();
}

// ---- records ----

void TPieces::SaveResumeRecord() {
  TakeWritten(true);
  Send(TPiecesEvent::kResumeRecord, 1, 0, nullptr);
  std::vector<TResumeRecord::FileFacts> facts;
  if (!storage_.CollectFileFacts(&facts)) return;
  SettleDurability();
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
  return TPendingBlocks::Save(pendingPath_, PendingLayout().infoHash, held);
}

}  // namespace bw
