#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/DiskFault.h"
#include "engine/storage/TPieceFile.h"
#include "engine/storage/TPieceWriter.h"
#include "engine/storage/TResumeRecord.h"
#include "platform/File.h"

namespace bw {

class IPiecesTask;

// The files of one torrent on disk, addressed by offsets in the content's byte stream: which files
// a range covers, opening with whole-file allocation and waits for disk space, positioned reads and
// writes under the disk lock, and closing. It knows nothing of pieces; a full disk and a broken
// file reach the task as events (1002/1003, 1004) and the engine log. Writes may go to disk on a
// writer's thread: meanwhile a file is only read (under the disk lock) or sized as it stands;
// opening, closing, resizing or syncing one waits for the writer first.
class TPieceStorage {
 public:
  static constexpr int64_t kUnknownFreeSpace = 2147483647;

  struct Span {
    int32_t file;
    int64_t fileOffset;
    int64_t length;
  };
  using FreeSpaceQuery = std::function<int64_t(const std::string& folder)>;

  // Queued writes of at least this many bytes hold the queuing caller back.
  static constexpr int64_t kMaxQueuedWriteBytes = 16 << 20;

  explicit TPieceStorage(IPiecesTask& task);
  ~TPieceStorage();
  TPieceStorage(const TPieceStorage&) = delete;
  TPieceStorage& operator=(const TPieceStorage&) = delete;

  void Assign(std::vector<TPieceFile> files);
  void Clear();
  // Replaces the free-space query (tests); none restores the real one.
  void SetFreeSpaceQuery(FreeSpaceQuery query);

  std::vector<TPieceFile>& Files() { return files_; }
  const std::vector<TPieceFile>& Files() const { return files_; }

  // The files holding [start, start + length) of the content, empty files skipped (and closed);
  // false when the files end first.
  bool SpansOf(int64_t start, int64_t length, std::vector<Span>* spans);
  // Opens file `index` so that its first `end` bytes can be read or written; for writing the file
  // is allocated whole first (a deselected one only up to `end`) unless noExtend.
  bool OpenForRange(int32_t index, int64_t end, bool forWriting, bool noExtend);
  // Moves runs, which follow each other from `offset` within [start, start + size) of the
  // content, to (or from) the files. Bytes moved, or -1 when nothing moved.
  int64_t Transfer(int64_t start, int64_t size, int64_t offset, const std::vector<platform::ByteRun>& runs, bool write);
  // Writes on a thread of their own (on), or in the caller's (off: what is queued is written first).
  void WriteInBackground(bool on);
  bool WritesInBackground() const { return writer_ != nullptr; }
  // Transfer's write for the writer's thread, tagged with index: prepares the files now and queues
  // the bytes, waiting first while the writer is full. Its result comes from TakeWritten; false
  // when not one byte could be queued. The runs' memory must stay until then.
  bool QueueWrite(int32_t index, int64_t start, int64_t size, int64_t offset,
                  const std::vector<platform::ByteRun>& runs);
  // The queued writes that finished, in queue order, a failure logged and reported; with `settle`
  // every queued write is waited for.
  std::vector<TPieceWriter::Done> TakeWritten(bool settle);
  // Forgets queued writes: their results never come, and their memory is no longer read.
  void CancelWrite(int32_t index);
  void CancelWrites();
  // Waits while the folder of path has less than `need` bytes free; false when a stop is requested.
  bool WaitForDiskSpace(const std::string& path, int64_t need);

  // Closes every file; true when one of them was open for writing.
  bool CloseAll();
  // True once after a file changed its size (allocated or cut): a record taken before says
  // otherwise and would not be trusted.
  bool TakeResized() { return std::exchange(resized_, false); }
  int32_t OpenCount() const;
  // Closes every file once as many are open as the cache can keep busy with this piece length.
  void LimitOpen(int64_t pieceLength);
  // Size and last-write time of each file for the resume record, after its written data was
  // synced (a failure stays for CheckDurability); false when a file's time cannot be read.
  bool CollectFileFacts(std::vector<TResumeRecord::FileFacts>* facts);
  // The files whose written data could not be made durable since last asked (each failure
  // logged and reported: a full disk as 1002, anything else as 1004), and those whose written
  // data is all durable now.
  void CheckDurability(std::vector<int32_t>* failed, std::vector<int32_t>* durable);

 private:
  // Reports a full disk once, until space is found again.
  void ReportDiskFull();
  void ReportDiskAvailable();
  // Logs a failed operation on a file with its cause; how the failure is to be taken.
  DiskFault Failure(const char* operation, const TPieceFile& file, int error);
  // A full disk is waited out; any other failure tells the task the file cannot be used.
  void Report(DiskFault fault, int error);
  bool ExtendFile(TPieceFile& file, int64_t target, bool noExtend);
  // True when the file takes reads (or writes) up to `end` as it stands; otherwise the writer is
  // settled and the file opened as OpenForRange does.
  bool Prepare(int32_t index, int64_t end, bool forWriting);
  // The write of the runs, cut at file ends: one target per file, up to the first that cannot
  // be prepared.
  struct WriteTarget {
    QDiskFile* handle;
    const std::string* path;
    int64_t position;
    std::vector<platform::ByteRun> runs;
  };
  std::vector<WriteTarget> PrepareWrite(int64_t start, int64_t size, int64_t offset,
                                        const std::vector<platform::ByteRun>& runs, int64_t* length);
  // Bytes written from the start of the targets, -1 (with *error) when none were.
  static int64_t WriteTargets(const std::vector<WriteTarget>& targets, int* error);
  // Waits for every queued write, keeping the results for TakeWritten.
  void SettleWriter();
  int64_t FreeBytes(const std::string& folder);

  IPiecesTask& task_;
  FreeSpaceQuery freeSpace_;
  std::vector<TPieceFile> files_;
  bool waitingForDisk_ = false;
  bool resized_ = false;
  std::vector<TPieceWriter::Done> settled_;  // waited for, not yet taken
  // Last: it stops writing before the files go.
  std::unique_ptr<TPieceWriter> writer_;
};

}  // namespace bw
