#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/common/BlockSize.h"
#include "engine/common/TRefObject.h"
#include "engine/storage/IPieceSource.h"
#include "engine/storage/IPiecesTask.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TPiece.h"
#include "engine/storage/TPieceFile.h"
#include "engine/storage/TPieceStorage.h"
#include "engine/storage/TPieceVerifier.h"
#include "engine/storage/TWrittenLog.h"
#include "platform/File.h"

namespace bw {

class QBufferPool;
class QElement;

// One task's view of its content: the piece table, which pieces are complete and wanted, and the
// memory cache every received block passes through. The files are its storage's; hashing is the
// hasher's; what a new map finds present is the start-up state's.
class TPieces : public TRefObject {
 public:
  static constexpr int32_t kChunkSize = TPieceBlocks::kChunkSize;
  static constexpr int32_t kCacheUnit = 256 * 1024;
  static constexpr int64_t kUnknownFreeSpace = TPieceStorage::kUnknownFreeSpace;
  static constexpr int64_t kHour = 3600;
  // What arriving pieces may hold beyond the cache limit: past it their starts are written and
  // hashed early, so that many slow sources do not each hold most of a piece in memory.
  static constexpr int64_t kArrivingMemory = int64_t{8} << 20;

  using Span = TPieceStorage::Span;
  using FreeSpaceQuery = TPieceStorage::FreeSpaceQuery;

  explicit TPieces(IPiecesTask& task);
  ~TPieces() override;
  TPieces(const TPieces&) = delete;
  TPieces& operator=(const TPieces&) = delete;

  // Process-wide pools: chunk and piece-sized buffers, and SHA-1 states.
  static QBufferPool& PiecePool();
  static QBufferPool& StatePool();

  // Task inputs, given before LoadInfo.
  void SetSaveDirectory(const std::string& directory);
  void SetTargetPath(const std::string& path) { targetPath_ = path; }
  void SetPendingPath(const std::string& path) { pendingPath_ = path; }
  void SetWrittenLogPath(const std::string& path) { writtenLog_.SetPath(path); }
  void SetQuickStart(bool on) { quickStart_ = on; }
  void SetUseResume(bool on) { useResume_ = on; }
  // The "bits" and "part" values saved in the task info file.
  void SetSavedRecord(std::string bits) { savedBits_ = std::move(bits); }
  void SetSavedSelection(std::string part) { savedPart_ = std::move(part); }
  void SetInfoHash(const uint8_t hash[20]);
  void SetCacheUnits(int32_t units);
  // Replaces the free-space query (tests); none restores the real one.
  void SetFreeSpaceQuery(FreeSpaceQuery query) { storage_.SetFreeSpaceQuery(std::move(query)); }

  // Lays out the files of an info dictionary, builds the piece table and finds out what is
  // already present (carrying data over from `previous`, the task's former map, when given);
  // false when the torrent cannot be laid out safely, is inconsistent or its state cannot be
  // restored.
  bool LoadInfo(const QElement& info, TPieces* previous = nullptr);
  // One file of totalLength bytes without piece hashes.
  bool LoadTemplate(int64_t totalLength, int64_t pieceLength);
  bool BuildPieces();
  // Frees pieces and files after closing the files and reporting the file selection.
  void Reset();

  bool IsValid() const;
  bool IsReady() const { return IsValid() && bytesChecked_ >= totalLength_; }
  bool IsComplete() const;
  // Every piece is verified, whether still in memory or already on disk.
  bool AllVerified() const;
  bool IsPieceValid(int64_t index) const;
  bool IsPieceComplete(int64_t index) const;
  bool IsPieceWanted(int64_t index) const;
  bool HasBlock(int64_t piece, int64_t offset, int64_t length) const;
  bool HasGlobalBlock(int64_t block) const;

  // Completed pieces are hashed on a thread beside the caller's; their verdicts take effect in
  // TakeVerdicts, in the order the pieces completed. Off: a piece is verified by the block that
  // completes it.
  void HashInBackground(bool on);
  // Applies the verdicts that are ready; the caller's loop calls it often.
  void TakeVerdicts();
  // Verified pieces are written on a thread beside the caller's; a piece counts as complete once
  // its write's result is taken (WriteVerified, FlushPieces and whatever closes or records the
  // files). Off: written by the caller.
  void WriteInBackground(bool on);
  // Verdicts or writes are on their way: the caller's loop comes back for them soon, as the
  // verifier and the writer do not wake it.
  bool AwaitsResults() const;
  static constexpr int64_t kFailedCheck = -99;
  // Takes block k; *accepted tells whether it was stored. The length taken, kFailedCheck when
  // its piece failed verification, -1 for a block that is not one of this torrent.
  int64_t ReceiveBlock(int64_t block, int32_t length, const uint8_t* data, IPieceSource* source, bool* accepted);
  // Where block k and the absent blocks after it in the same stretch of memory (up to length bytes)
  // go, for a source to receive them in place before handing each to ReceiveBlock, which then
  // copies nothing; empty when the block is not one of a piece still arriving or memory is short.
  // Valid until the next call that changes the map.
  std::span<uint8_t> BlockSpace(int64_t block, int64_t length);
  int64_t ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t readAheadHint, bool anyState);
  // Copies block k from memory or disk whatever its piece's state, keeping nothing in memory:
  // its length, 0 when the block is neither held nor on disk, -1 on failure.
  int64_t CopyBlock(int64_t block, int32_t length, uint8_t* out);
  bool SetPieceState(int64_t index, bool complete);
  void ResetPiece(int64_t index);
  int32_t PieceBytesInMemory(int64_t index) const;
  int32_t CountDoneOrSkipped() const;

  // File selection.
  bool SelectFile(int32_t file, bool deselect);
  void SelectAll(bool deselect);
  // Wanted bytes and pieces and the done-or-skipped count, from the files and pieces.
  void RecountWanted();
  // Hands the file selection list to the task (type 1000).
  void ReportFileSelection();

  // The cache. Flushing writes every verified piece, waiting for those being verified;
  // WriteVerified writes those verified so far.
  void FlushPieces();
  void WriteVerified();
  void MaintainCache();
  void TrimCache();
  int32_t CheckCache();
  void LimitOpenFiles();
  int64_t CacheLimit() const;

  // Piece data on disk.
  bool GetPieceFiles(int64_t piece, std::vector<Span>* spans);
  int64_t WritePieceData(int64_t piece, const uint8_t* data, int64_t length, int64_t offset, bool trusted);
  int64_t ReadPieceData(int64_t piece, uint8_t* out, int64_t length, int64_t offset, int32_t readAheadHint,
                        bool anyState);
  bool OpenFileForRange(int32_t file, int64_t end, bool forWriting, bool noExtend);
  bool WaitForDiskSpace(const std::string& path, int64_t need) { return storage_.WaitForDiskSpace(path, need); }
  // Flushes (when finishing), closes every file, renames finished files, saves the record.
  void CloseFiles(bool forceSave, bool finish);
  int32_t OpenFileCount() const { return storage_.OpenCount(); }

  // Hands the resume record to the task (type 1001: a clear, then the record when built).
  void SaveResumeRecord();
  // The periodic save: makes written data durable, then hands over a fresh record.
  void RefreshResumeRecord();
  bool SavePendingBlocks();

  // Start-up: what the check of a new map found present (TStartupState decides).
  // Nothing present, nothing checked.
  void ForgetPresence();
  // Nothing present, every byte checked, the files closed.
  void StartEmpty();
  void SetBytesChecked(int64_t bytes) { bytesChecked_ = bytes; }
  // Every piece complete (the files are trusted as they stand).
  void MarkAllComplete();
  // A piece's prefix written and hashed at the last stop, with its SHA-1 state.
  bool RestoreHashedPrefix(int64_t index, int32_t part, const uint8_t* state);
  // Takes a record of the pending-block file; false when loading is to stop.
  bool RestorePendingRecord(const TPendingBlocks::Record& record);
  // Blocks of an incomplete piece carried over from a former map: held, and whole chunks from
  // its start written and hashed at once.
  void TakeBlocks(int64_t index, const std::vector<int32_t>& offsets, const uint8_t* pieceData);
  void DropPieceMemory(int64_t index);
  // A piece the written-piece log names: complete when its bytes on disk pass the hash.
  bool CheckPieceOnDisk(int64_t index);

  int64_t PieceLength() const { return pieceLength_; }
  int64_t PieceCount() const { return pieceCount_; }
  int64_t TotalLength() const { return totalLength_; }
  int64_t BytesComplete() const { return bytesComplete_; }
  int64_t BytesWanted() const { return bytesWanted_; }
  int64_t PiecesWanted() const { return piecesWanted_; }
  int64_t BytesChecked() const { return bytesChecked_; }
  int32_t DonePieces() const { return donePieces_; }
  int32_t LastCompleted() const { return lastCompleted_; }
  int64_t CacheBytes() const { return cacheBytes_; }
  int64_t DirtyBytes() const { return dirtyBytes_; }
  int64_t PartialBytes() const { return partialBytes_; }
  int32_t ReadRequests() const { return readRequests_; }
  int32_t ReadHits() const { return readHits_; }
  bool HasHashes() const { return valid_; }
  bool HasInfoHash() const { return hasInfoHash_; }
  const uint8_t* InfoHash() const { return infoHash_; }
  const std::string& Bitfield() const { return bitfield_; }
  const std::vector<TPieceFile>& Files() const { return storage_.Files(); }
  TPieceStorage& Storage() { return storage_; }
  const TPiece& Piece(int64_t index) const { return pieces_[static_cast<size_t>(index)]; }
  // The SHA-1 a piece's data must have; none without hashes or outside the map.
  const uint8_t* ExpectedHash(int64_t index) const;
  const std::string& PendingPath() const { return pendingPath_; }
  const std::string& WrittenLogPath() const { return writtenLog_.Path(); }
  bool QuickStart() const { return quickStart_; }
  bool UseResume() const { return useResume_; }
  const std::string& SavedRecord() const { return savedBits_; }
  const std::string& SavedSelection() const { return savedPart_; }
  // What a pending-block record of this map must fit.
  TPendingBlocks::Layout PendingLayout() const;

 private:
  // File selection, the start-up decision and file preparation, after BuildPieces.
  bool StartUp(TPieces* previous);
  TPiece* PieceAt(int64_t index);
  void Send(int32_t type, int32_t value, int32_t size, const void* data);
  int64_t Now() { return task_.Clock(); }

  // The sources whose blocks made a piece's data, each held (one reference) while the piece is
  // arriving; unknown when some of it came from none that is known (a former run, a former map).
  struct PieceSources {
    std::vector<IPieceSource*> list;
    bool unknown = false;
  };
  void AddSource(TPiece& piece, IPieceSource* source);
  void ForgetSources(const TPiece& piece);
  // The one source all of a piece's data came from, over one connection or several; none when
  // several sources did or it cannot be told.
  IPieceSource* SoleSource(const TPiece& piece) const;
  void ReleaseSources();
  void StoreInMemory(TPiece& piece, int32_t offset, const uint8_t* data, int32_t length);
  void DropMemory(TPiece& piece);
  void DropPartialState(TPiece& piece);
  // Verification against the piece's hash; a map without hashes passes everything.
  bool VerifyHeld(TPiece& piece);
  // Hands a piece whose data is all held to the verifier; false when it cannot be (verified here
  // then). Waits for a verdict first while the verifier has no room.
  bool HandOver(TPiece& piece);
  void ApplyVerdict(const TPieceVerifier::Verdict& verdict);
  // Waits for every piece in flight and applies the verdicts.
  void SettleVerdicts();
  void CancelHashing(TPiece& piece);
  void MarkVerifiedInMemory(TPiece& piece);
  void ReportFailure(TPiece& piece);
  int64_t SettleWrite(TPiece& piece, int64_t offset, int64_t written, bool sound);
  // Data written is counted in a record only once it is durable: the pieces written into each
  // file since its data was last made durable are kept, and forgotten (fetched again) when that
  // fails.
  void NoteWritten(const TPiece& piece);
  void SettleDurability();
  int64_t WriteHeld(TPiece& piece, int32_t offset, int32_t length);
  // Writes a dirty piece from its hashed prefix on (or queues that write); true when all of it
  // was written (or queued).
  bool WriteRest(TPiece& piece);
  // What a write of the rest did: complete when all of it was written, else it stays dirty.
  bool SettleRest(TPiece& piece, int64_t written);
  // Applies the results of the queued writes that finished; `settle` waits for all of them.
  void TakeWritten(bool settle);
  // The piece's held bytes from offset, as runs to write.
  std::vector<platform::ByteRun> HeldRuns(const TPiece& piece, int32_t offset, int32_t length) const;
  // Bytes held by dirty pieces (those being written too).
  int64_t CountDirty() const;
  // Hands the task a fresh record once a file changed its size.
  void RecordResize();
  int64_t WritePrefix(TPiece& piece, int32_t minimum);
  bool PieceTouchesSelected(int64_t index) const;
  bool FileHasMissingPieces(const TPieceFile& file) const;
  // Moves the bytes of runs, which follow each other from offset in the piece, to (or from) its
  // files.
  int64_t TransferPiece(const TPiece& piece, const std::vector<platform::ByteRun>& runs, int64_t offset, bool write);
#ifdef NDEBUG
  void CheckCounters() const {}
#else
  // Debug builds: the counters kept along the way agree with the pieces they count.
  void CheckCounters() const;
#endif

  IPiecesTask& task_;
  TPieceStorage storage_;
  TWrittenLog writtenLog_;

  std::string saveDirectory_;
  std::string targetPath_;
  std::string pendingPath_;
  bool quickStart_ = false;
  bool useResume_ = false;
  std::string savedBits_;
  std::string savedPart_;
  bool hasInfoHash_ = false;
  uint8_t infoHash_[20] = {};

  bool valid_ = false;
  bool fromTemplate_ = false;  // built from a size alone: it never gets hashes
  int64_t pieceLength_ = 0;
  int64_t pieceCount_ = 0;
  int64_t totalLength_ = 0;
  std::string hashes_;  // 20 bytes a piece, in piece order
  std::vector<TPiece> pieces_;
  std::unordered_map<int32_t, PieceSources> sources_;  // by piece index
  std::vector<std::vector<int32_t>> notDurable_;  // per file: pieces written since its last sync
  std::string bitfield_;
  int64_t bytesChecked_ = 0;
  int64_t bytesComplete_ = 0;
  int64_t bytesWanted_ = 0;
  int64_t piecesWanted_ = 0;
  int32_t donePieces_ = 0;
  int32_t lastCompleted_ = -1;
  int32_t cacheUnits_ = 32;
  int64_t cacheBytes_ = 0;
  int64_t dirtyBytes_ = 0;
  int32_t writesInFlight_ = 0;  // pieces whose queued write has not reported back
  int64_t partialBytes_ = 0;
  int64_t pendingBytes_ = 0;
  int32_t readRequests_ = 0;
  int32_t readHits_ = 0;
  int64_t lastTrim_ = 0;
  bool resumeSaveDue_ = false;
  bool writeDue_ = false;  // a dirty piece is neither written nor being written
  // Last: it stops reading piece memory before the pieces go.
  std::unique_ptr<TPieceVerifier> verifier_;
  std::vector<TPieceVerifier::Verdict> verdicts_;  // taken while waiting for room, not yet applied
};

}  // namespace bw
