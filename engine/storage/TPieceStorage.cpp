#include "engine/storage/TPieceStorage.h"

#include <algorithm>
#include <cerrno>

#include "engine/storage/IPiecesTask.h"
#include "engine/storage/QDiskFile.h"
#include "platform/DiskSpace.h"
#include "platform/Thread.h"

namespace bw {

namespace {

constexpr uint32_t kDiskWaitMs = 2000;
constexpr size_t kMaxFolderText = 4096;
constexpr int64_t kCacheUnit = 256 * 1024;

}  // namespace

TPieceStorage::TPieceStorage(IPiecesTask& task) : task_(task) { SetFreeSpaceQuery(nullptr); }

TPieceStorage::~TPieceStorage() { CancelWrites(); }

void TPieceStorage::Assign(std::vector<TPieceFile> files) {
  Clear();
  files_ = std::move(files);
}

void TPieceStorage::Clear() {
  CancelWrites();
  files_.clear();
  waitingForDisk_ = resized_ = false;
}

void TPieceStorage::SetFreeSpaceQuery(FreeSpaceQuery query) {
  freeSpace_ = query
                   ? std::move(query)
                   : FreeSpaceQuery([](const std::string& folder) { return platform::DiskFreeBytes(folder.c_str()); });
}

bool TPieceStorage::SpansOf(int64_t start, int64_t length, std::vector<Span>* spans) {
  spans->clear();
  auto it = std::upper_bound(files_.begin(), files_.end(), start,
                             [](int64_t at, const TPieceFile& f) { return at < f.Offset; });
  // The last file starting at or before the range; later empty files at the same offset sort
  // after it, so step back over them to the file that holds the byte.
  while (it != files_.begin() && std::prev(it)->Length == 0) --it;
  if (it == files_.begin()) return false;
  const TPieceFile& first = *std::prev(it);
  if (start >= first.Offset + first.Length) return false;
  int64_t gathered = 0;
  int64_t fileOffset = start - first.Offset;
  for (size_t f = static_cast<size_t>(first.Index); f < files_.size() && gathered < length; ++f) {
    TPieceFile& file = files_[f];
    if (file.Length == 0) {
      file.Handle.Close();
      continue;
    }
    const int64_t n = std::min<int64_t>(length - gathered, file.Length - fileOffset);
    spans->push_back(Span{file.Index, fileOffset, n});
    gathered += n;
    fileOffset = 0;
  }
  return gathered == length;
}

DiskFault TPieceStorage::Failure(const char* operation, const TPieceFile& file, int error) {
  LogDiskFailure(operation, file.Path, error);
  return ClassifyDiskError(error);
}

void TPieceStorage::Report(DiskFault fault, int error) {
  if (fault == DiskFault::kNoSpace) {
    ReportDiskFull();
  } else if (fault == DiskFault::kFailed) {
    task_.OnPiecesEvent(TPiecesEvent{TPiecesEvent::kFileFailed, error < 0 ? -error : 1, 0, nullptr});
  }
}

void TPieceStorage::ReportDiskFull() {
  if (waitingForDisk_) return;
  waitingForDisk_ = true;
  task_.OnPiecesEvent(TPiecesEvent{TPiecesEvent::kWaitingForDisk, 1, 0, nullptr});
}

void TPieceStorage::ReportDiskAvailable() {
  if (!waitingForDisk_) return;
  waitingForDisk_ = false;
  task_.OnPiecesEvent(TPiecesEvent{TPiecesEvent::kDiskAvailable, 1, 0, nullptr});
}

int64_t TPieceStorage::FreeBytes(const std::string& folder) {
  const int64_t available = freeSpace_(folder);
  return available < 0 ? kUnknownFreeSpace : available;
}

bool TPieceStorage::WaitForDiskSpace(const std::string& path, int64_t need) {
  const std::string folder = platform::DirectoryOf(path.substr(0, kMaxFolderText));
  int64_t available = FreeBytes(folder);
  bool waited = false;
  while (available < need) {
    if (!waited) {
      waited = true;
      LogDiskFailure("reserve space for", path, -ENOSPC);
      ReportDiskFull();
    }
    if (task_.StopRequested()) return false;
    platform::SleepMs(kDiskWaitMs);
    available = FreeBytes(folder);
  }
  if (waited) ReportDiskAvailable();
  return true;
}

bool TPieceStorage::ExtendFile(TPieceFile& file, int64_t target, bool noExtend) {
  const int64_t size = file.Handle.Size();
  if (!WaitForDiskSpace(file.Path, target - size)) return false;
  if (noExtend) return true;
  QScopedLock lock(QDiskFile::DiskLock());
  if (!file.Handle.Allocate(target)) {
    // A full disk found by the allocation itself is still a full disk, not a broken one.
    Report(Failure("allocate", file, file.Handle.LastError()), file.Handle.LastError());
    file.Handle.Close();
    return false;
  }
  resized_ = true;
  ReportDiskAvailable();
  return true;
}

bool TPieceStorage::OpenForRange(int32_t index, int64_t end, bool forWriting, bool noExtend) {
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
          Report(Failure("open for writing", file, handle.LastError()), handle.LastError());
          return false;
        }
      }
    } else if (!handle.Open(file.Path, QDiskFile::kReadOnly)) {
      Failure("open for reading", file, handle.LastError());
      return false;
    }
  }
  int64_t size = handle.Size();
  if (size < 0) {
    Failure("size", file, handle.LastError());
    Report(DiskFault::kFailed, handle.LastError());
    return false;
  }
  if (size > file.Length) {
    const QDiskFile::Mode former = handle.OpenMode();
    if (!handle.Writable() && !handle.Open(file.Path, QDiskFile::kReadWrite)) {
      Failure("open to truncate", file, handle.LastError());
      return false;
    }
    const bool cut = handle.Truncate(file.Length);
    if (!cut) Failure("truncate", file, handle.LastError());
    resized_ = resized_ || cut;
    handle.Close();
    if (!cut || !handle.Open(file.Path, former == QDiskFile::kReadOnly ? former : QDiskFile::kReadWrite)) {
      return false;
    }
    size = handle.Size();
    if (size != file.Length) return false;
  }
  if (forWriting) {
    // Whole-file allocation; a deselected file only grows as far as its boundary pieces need.
    const int64_t target = file.Deselected() ? end : file.Length;
    if (target > size) {
      if (!ExtendFile(file, target, noExtend)) return false;
      size = handle.IsOpen() ? handle.Size() : -1;
    }
  }
  return size >= end;
}

bool TPieceStorage::Prepare(int32_t index, int64_t end, bool forWriting) {
  if (index < 0 || index >= static_cast<int32_t>(files_.size())) return false;
  TPieceFile& file = files_[static_cast<size_t>(index)];
  // Only this thread opens, closes or resizes the file: the writer's thread may be writing it.
  QDiskFile& handle = file.Handle;
  if (handle.IsOpen() && (!forWriting || handle.Writable())) {
    const int64_t size = handle.Size();
    const int64_t target = forWriting && !file.Deselected() ? file.Length : end;
    if (end >= 0 && size >= std::max(target, end) && size <= file.Length) return true;
  }
  SettleWriter();
  return OpenForRange(index, end, forWriting, false);
}

std::vector<TPieceStorage::WriteTarget> TPieceStorage::PrepareWrite(int64_t start, int64_t size, int64_t offset,
                                                                    const std::vector<platform::ByteRun>& runs,
                                                                    int64_t* length) {
  std::vector<WriteTarget> targets;
  *length = 0;
  for (const platform::ByteRun& run : runs) *length += run.length;
  std::vector<Span> spans;
  if (!SpansOf(start, size, &spans)) return targets;
  auto run = runs.begin();
  int64_t runStart = offset;  // offset of run's first byte
  int64_t spanStart = 0;
  for (const Span& span : spans) {
    const int64_t spanEnd = spanStart + span.length;
    const int64_t from = std::max(offset, spanStart);
    const int64_t to = std::min(offset + *length, spanEnd);
    if (from < to) {
      if (!Prepare(span.file, span.fileOffset + span.length, true)) break;
      TPieceFile& file = files_[static_cast<size_t>(span.file)];
      // The span's share of the runs goes to disk in one call.
      WriteTarget& target = targets.emplace_back(WriteTarget{&file.Handle, &file.Path, span.fileOffset + (from - spanStart), {}});
      for (int64_t at = from; at < to; at += target.runs.back().length) {
        while (runStart + run->length <= at) runStart += (run++)->length;
        target.runs.push_back({run->data + (at - runStart), std::min(to, runStart + run->length) - at});
      }
    }
    spanStart = spanEnd;
    if (spanStart >= offset + *length) break;
  }
  return targets;
}

int64_t TPieceStorage::WriteTargets(const std::vector<WriteTarget>& targets, int* error) {
  int64_t done = 0;
  for (const WriteTarget& target : targets) {
    int64_t want = 0;
    for (const platform::ByteRun& run : target.runs) want += run.length;
    int64_t moved;
    {
      QScopedLock lock(QDiskFile::DiskLock());
      moved = target.handle->WriteRuns(target.runs, target.position, false);
      if (moved < 0) *error = target.handle->LastError();
    }
    // The wait for the disk's pace holds no reader back.
    if (moved > 0) target.handle->WriteBehind(target.position, moved);
    if (moved < 0) LogDiskFailure("write", *target.path, *error);
    if (moved > 0) done += moved;
    if (moved != want) break;
  }
  return done > 0 ? done : -1;
}

int64_t TPieceStorage::Transfer(int64_t start, int64_t size, int64_t offset, const std::vector<platform::ByteRun>& runs,
                                bool write) {
  if (write) {
    SettleWriter();
    int64_t length;
    const std::vector<WriteTarget> targets = PrepareWrite(start, size, offset, runs, &length);
    int error = 0;
    const int64_t written = WriteTargets(targets, &error);
    if (ClassifyDiskError(error) == DiskFault::kNoSpace) ReportDiskFull();
    return written > 0 || length == 0 ? std::max<int64_t>(written, 0) : -1;
  }
  std::vector<Span> spans;
  if (!SpansOf(start, size, &spans)) return -1;
  int64_t length = 0;
  for (const platform::ByteRun& run : runs) length += run.length;
  auto run = runs.begin();
  int64_t runStart = offset;  // offset of run's first byte
  int64_t done = 0;
  int64_t spanStart = 0;
  for (const Span& span : spans) {
    const int64_t spanEnd = spanStart + span.length;
    int64_t from = std::max(offset, spanStart);
    const int64_t to = std::min(offset + length, spanEnd);
    if (from < to) {
      TPieceFile& file = files_[static_cast<size_t>(span.file)];
      if (!Prepare(span.file, span.fileOffset + (to - spanStart), false)) break;
      int64_t moved = 0;
      int64_t want = 0;
      QScopedLock lock(QDiskFile::DiskLock());
      for (; from < to && moved == want; from += want) {
        while (runStart + run->length <= from) runStart += (run++)->length;
        want = std::min(to, runStart + run->length) - from;
        // Reads land in the caller's buffer, which is writable.
        uint8_t* data = const_cast<uint8_t*>(run->data) + (from - runStart);
        moved = file.Handle.Read(data, want, span.fileOffset + (from - spanStart));
        if (moved > 0) done += moved;
      }
      if (moved < 0) Failure("read", file, file.Handle.LastError());
      if (moved != want) break;
    }
    spanStart = spanEnd;
    if (spanStart >= offset + length) break;
  }
  return done > 0 ? done : (length > 0 ? -1 : 0);
}

void TPieceStorage::WriteInBackground(bool on) {
  if (on == (writer_ != nullptr)) return;
  if (on) {
    writer_ = std::make_unique<TPieceWriter>(kMaxQueuedWriteBytes);
  } else {
    SettleWriter();
    writer_.reset();
  }
}

bool TPieceStorage::QueueWrite(int32_t index, int64_t start, int64_t size, int64_t offset,
                               const std::vector<platform::ByteRun>& runs) {
  if (!writer_) return false;
  // A full writer holds the task thread back, and with it the sources: the disk sets the pace.
  writer_->WaitForRoom();
  int64_t length;
  std::vector<WriteTarget> targets = PrepareWrite(start, size, offset, runs, &length);
  if (targets.empty()) return false;
  writer_->Queue(index, length, [targets = std::move(targets)](int* error) { return WriteTargets(targets, error); });
  return true;
}

void TPieceStorage::SettleWriter() {
  if (!writer_ || writer_->Idle()) return;
  std::vector<TPieceWriter::Done> done = writer_->Settle();
  settled_.insert(settled_.end(), done.begin(), done.end());
}

std::vector<TPieceWriter::Done> TPieceStorage::TakeWritten(bool settle) {
  if (settle) SettleWriter();
  std::vector<TPieceWriter::Done> done = std::exchange(settled_, {});
  if (writer_) {
    std::vector<TPieceWriter::Done> more = writer_->TakeDone();
    done.insert(done.end(), more.begin(), more.end());
  }
  for (const TPieceWriter::Done& write : done) {
    if (ClassifyDiskError(write.error) == DiskFault::kNoSpace) ReportDiskFull();
  }
  return done;
}

void TPieceStorage::CancelWrite(int32_t index) {
  if (writer_) writer_->Cancel(index);
  std::erase_if(settled_, [index](const TPieceWriter::Done& done) { return done.index == index; });
}

void TPieceStorage::CancelWrites() {
  if (writer_) writer_->CancelAll();
  settled_.clear();
}

bool TPieceStorage::CloseAll() {
  SettleWriter();
  bool wrote = false;
  for (TPieceFile& file : files_) {
    wrote = wrote || file.Handle.Writable();
    file.Handle.Close();
  }
  return wrote;
}

int32_t TPieceStorage::OpenCount() const {
  return static_cast<int32_t>(
      std::count_if(files_.begin(), files_.end(), [](const TPieceFile& f) { return f.Handle.IsOpen(); }));
}

void TPieceStorage::LimitOpen(int64_t pieceLength) {
  const int64_t units = (pieceLength + kCacheUnit - 1) / kCacheUnit;
  const int64_t most = 128 / std::max<int64_t>(units, 1) + 1;
  if (OpenCount() < most) return;
  SettleWriter();
  for (TPieceFile& file : files_) file.Handle.Close();
}

bool TPieceStorage::CollectFileFacts(std::vector<TResumeRecord::FileFacts>* facts) {
  facts->clear();
  SettleWriter();
  for (TPieceFile& file : files_) {
    if (file.Path.empty()) break;
    TResumeRecord::FileFacts fact{file.Path, 0, -1, file.Selection};
    QDiskFile probe;
    QDiskFile* handle = &file.Handle;
    if (!handle->IsOpen() && probe.Open(file.Path, QDiskFile::kReadOnly)) handle = &probe;
    if (handle->IsOpen()) {
      // The record may count pieces complete only once their bytes are on stable storage.
      handle->Sync();
      if (!handle->LastWriteTime(&fact.time)) {
        Failure("read the time of", file, handle->LastError());
        return false;
      }
      fact.size = handle->Size();
    }
    facts->push_back(std::move(fact));
  }
  return true;
}

void TPieceStorage::CheckDurability(std::vector<int32_t>* failed, std::vector<int32_t>* durable) {
  SettleWriter();
  for (TPieceFile& file : files_) {
    if (const int error = file.Handle.TakeDurabilityError()) {
      Report(Failure("make durable the data written to", file, error), error);
      failed->push_back(file.Index);
    } else if (!file.Handle.Unsynced()) {
      durable->push_back(file.Index);
    }
  }
}

}  // namespace bw
