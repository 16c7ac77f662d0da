#include "engine/storage/TStartupState.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/common/Sha1.h"
#include "engine/storage/ParallelHasher.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TPieces.h"
#include "engine/storage/TResumeRecord.h"
#include "engine/storage/TWrittenLog.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr int64_t kCheckBatchBytes = int64_t{16} << 20;
constexpr int64_t kMaxCheckBatch = 1024;
constexpr int32_t kBlock = kBlockSize;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A saved SHA-1 state is taken only when it is exactly what hashing `part` whole chunks leaves:
// no buffered bytes, the matching bit length, neither finished nor marked broken.
bool UsableState(const uint8_t* state, int64_t part, int32_t pieceSize) {
  if (part <= 0 || part >= pieceSize) return false;
  const uint64_t bits = Le32(state + 20) | uint64_t{Le32(state + 24)} << 32;
  const uint32_t blockIndex = uint32_t{state[28]} | uint32_t{state[29]} << 8;
  if (blockIndex != 0 || bits != static_cast<uint64_t>(part) * 8 || Le32(state + 96) != 0 || Le32(state + 100) != 0) {
    return false;
  }
  Sha1 check;
  return check.ImportState(state, Sha1::kStateSize);
}

bool BitSet(const std::string& bits, int64_t i) {
  return (static_cast<uint8_t>(bits[static_cast<size_t>(i / 8)]) >> (7 - i % 8)) & 1;
}

}  // namespace

void TStartupState::ReportCheck() { task_.OnPiecesEvent(TPiecesEvent{TPiecesEvent::kCheck, 1, 0, nullptr}); }

bool TStartupState::RestoreState(TPieces* previous) {
  ReportCheck();
  bool ok;
  if (previous && previous != &map_ && previous->IsValid()) {
    if (previous->Files().size() != map_.Files().size()) {
      ok = LoadResumeRecord();
    } else {
      ok = map_.PieceLength() % kBlock == 0 && previous->TotalLength() == map_.TotalLength() && MigrateFrom(*previous);
    }
  } else if (map_.QuickStart()) {
    ok = QuickCheck();
  } else if (LoadResumeRecord()) {
    ok = true;
  } else if (map_.HasHashes()) {
    ok = RecheckFiles();
  } else {
    map_.StartEmpty();
    ok = true;
  }
  return ok && !task_.StopRequested();
}

bool TStartupState::LoadResumeRecord() {
  TPieces& m = map_;
  if (!m.UseResume() || m.SavedRecord().empty()) return false;
  TResumeRecord::Saved saved;
  if (!TResumeRecord::Decode(m.SavedRecord(), &saved)) return false;
  if (saved.hasInfoHash && m.HasInfoHash() && std::memcmp(saved.infoHash.data(), m.InfoHash(), 20) != 0) {
    return false;
  }

  // Everything is checked before anything is applied, so a record that fails leaves the fresh
  // map as it was.
  std::vector<TPieceFile>& files = m.Storage().Files();
  std::vector<const TResumeRecord::SavedFile*> found(files.size(), nullptr);
  for (TPieceFile& file : files) {
    if (file.Path.empty()) break;
    file.Handle.Close();
    const TResumeRecord::SavedFile* entry = saved.FindFile(file.Path);
    if (!entry && !file.FinalPath.empty()) entry = saved.FindFile(file.FinalPath);
    if (!entry) return false;
    found[static_cast<size_t>(file.Index)] = entry;
    QDiskFile probe;
    const bool open = probe.Open(file.Path, QDiskFile::kReadOnly);
    const bool noTime = entry->low == 0 && entry->high == 0;
    // A file recorded as missing must still be missing, and a recorded one still present.
    if (open == noTime) return false;
    if ((open ? probe.Size() : -1) != entry->size) return false;
  }
  if (saved.bitfield.size() != m.Bitfield().size()) return false;

  std::vector<const TResumeRecord::SavedPiece*> partial;
  for (const TResumeRecord::SavedPiece& piece : saved.pieces) {
    if (piece.index < 0 || piece.index >= m.PieceCount() || BitSet(saved.bitfield, piece.index)) continue;
    const int32_t size = m.Piece(piece.index).Size;
    const int64_t chunk = std::min<int64_t>(size, TPieces::kChunkSize);
    if (piece.part % chunk != 0 || !UsableState(piece.state.data(), piece.part, size)) continue;
    partial.push_back(&piece);
  }

  for (int64_t i = 0; i < m.PieceCount(); ++i) {
    if (BitSet(saved.bitfield, i)) m.SetPieceState(i, true);
  }
  for (const TResumeRecord::SavedPiece* piece : partial) {
    m.RestoreHashedPrefix(piece->index, static_cast<int32_t>(piece->part), piece->state.data());
  }
  for (TPieceFile& file : files) {
    const TResumeRecord::SavedFile* entry = found[static_cast<size_t>(file.Index)];
    if (entry && entry->hasPriority && !file.Deselected() && entry->priority >= -2 && entry->priority <= 2) {
      file.Selection = static_cast<int32_t>(entry->priority);
    }
  }
  m.SetBytesChecked(m.TotalLength());
  if (m.BytesComplete() > m.TotalLength()) return false;
  // Pieces written after the record was taken: hashed from disk, the rest left alone.
  for (int32_t index : TWrittenLog::Load(m.WrittenLogPath(), m.PieceCount())) {
    if (!m.IsPieceComplete(index)) m.CheckPieceOnDisk(index);
  }
  LoadPendingBlocks();
  ReportCheck();
  return true;
}

bool TStartupState::LoadPendingBlocks() {
  const std::string& path = map_.PendingPath();
  if (path.empty()) return false;
  if (map_.IsComplete()) {
    platform::RemoveFile(path);
    return true;
  }
  return TPendingBlocks::Load(path, map_.PendingLayout(), [this](const TPendingBlocks::Record& record) {
    return map_.RestorePendingRecord(record);
  });
}

bool TStartupState::QuickCheck() {
  TPieces& m = map_;
  const std::vector<TPieceFile>& files = m.Files();
  bool all = true;
  int64_t checked = 0;
  for (size_t f = 0; f < files.size(); ++f) {
    if (f % 100 == 99 && task_.StopRequested()) return false;
    const TPieceFile& file = files[f];
    if (file.Length <= 0) continue;
    // A ".bwtmp" file is allocated to its full length at its first write, so only a file
    // under its final name says anything about its content.
    if (!file.UsesTempName && platform::PathFileSize(file.Path) == file.Length) {
      checked += file.Length;
    } else {
      all = false;
    }
  }
  bool ok = all;
  if (ok) {
    m.MarkAllComplete();
    std::vector<uint8_t> buffer(static_cast<size_t>(m.PieceLength()));
    for (int64_t i : {int64_t{0}, m.PieceCount() - 1, m.PieceCount() / 2}) {
      const int64_t size = m.Piece(i).Size;
      if (m.ReadPieceData(i, buffer.data(), size, 0, 0, true) != size) ok = false;
      m.DropPieceMemory(i);
    }
  }
  m.Storage().CloseAll();
  if (!ok) {
    m.ForgetPresence();
    return false;
  }
  m.SetBytesChecked(checked);
  task_.OnPiecesEvent(
      TPiecesEvent{TPiecesEvent::kWholeBitfield, 1, static_cast<int32_t>(m.Bitfield().size()), m.Bitfield().data()});
  return m.BytesChecked() >= m.TotalLength() && m.BytesComplete() >= m.TotalLength();
}

bool TStartupState::RecheckFiles() {
  TPieces& m = map_;
  const int64_t L = m.PieceLength();
  // The pieces of one read are hashed side by side on the cores: a read holds several of them.
  const int64_t capacity = (std::clamp<int64_t>(kCheckBatchBytes / L, 2, kMaxCheckBatch) + 1) * L;
  ParallelHasher hasher;
  std::vector<ParallelHasher::Job> jobs;
  std::unique_ptr<uint8_t[]> buffer;
  int64_t bufferStart = 0;  // torrent offset of buffer[0], always a piece start
  int64_t filled = 0;
  int64_t passed = 0;
  int64_t verified = 0;
  bool stopped = false;
  for (const TPieceFile& file : m.Files()) {
    if (stopped) break;
    QDiskFile handle;
    if (file.Length > 0 && handle.Open(file.Path, QDiskFile::kReadOnly, true)) {
      if (!buffer) buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
      if (!buffer) return false;
      int64_t position = 0;
      if (filled == 0) {
        // After a gap, hashing starts again at the first piece that begins in this file.
        bufferStart = (file.Offset + L - 1) / L * L;
        position = bufferStart - file.Offset;
      }
      while (position < file.Length && !stopped) {
        const int64_t want = std::min(capacity - filled, file.Length - position);
        int64_t got;
        {
          QScopedLock lock(QDiskFile::DiskLock());
          got = handle.Read(buffer.get() + filled, want, position);
        }
        if (got <= 0) break;
        filled += got;
        position += got;
        int64_t used = 0;
        jobs.clear();
        for (;;) {
          const int64_t index = (bufferStart + used) / L;
          if (index >= m.PieceCount()) break;
          const int64_t size = m.Piece(index).Size;
          if (filled - used < size) break;
          if (verified++ % 10 == 0 && task_.StopRequested()) {
            stopped = true;
            break;
          }
          jobs.push_back({buffer.get() + used, size, {}});
          used += size;
        }
        hasher.HashAll(jobs);
        const int64_t firstIndex = bufferStart / L;
        for (size_t i = 0; i < jobs.size(); ++i) {
          const int64_t index = firstIndex + static_cast<int64_t>(i);
          const uint8_t* expected = m.ExpectedHash(index);
          const bool good = expected && std::memcmp(jobs[i].digest, expected, Sha1::kDigestSize) == 0;
          if (good) passed += jobs[i].size;
          m.SetPieceState(index, good);
        }
        std::memmove(buffer.get(), buffer.get() + used, static_cast<size_t>(filled - used));
        filled -= used;
        bufferStart += used;
        if (got < want) break;
      }
      if (position < file.Length) filled = 0;
    } else if (file.Length > 0) {
      // The file is missing: the piece left over cannot be finished. An empty file breaks
      // nothing: its neighbours' bytes meet across it.
      filled = 0;
    }
    m.SetBytesChecked(m.BytesChecked() + file.Length);
  }
  if (stopped) {
    m.Storage().CloseAll();
    return false;
  }
  m.CloseFiles(true, false);
  return m.BytesChecked() >= m.TotalLength() && m.BytesComplete() == passed;
}

bool TStartupState::MigrateFrom(TPieces& previous) {
  TPieces& m = map_;
  std::vector<uint8_t> buffer(static_cast<size_t>(m.PieceLength()));
  for (int64_t index = 0; index < m.PieceCount(); ++index) {
    if (task_.StopRequested()) return false;
    const int32_t size = m.Piece(index).Size;
    const int64_t firstBlock = index * m.PieceLength() / kBlock;
    std::vector<int32_t> arrived;
    for (int32_t offset = 0; offset < size; offset += kBlock) {
      const int32_t length = m.Piece(index).Blocks.BlockLength(offset);
      // Copied, not read through the old map's cache: migration streams whatever the size.
      if (previous.CopyBlock(firstBlock + offset / kBlock, length, buffer.data() + offset) == length) {
        arrived.push_back(offset);
      }
    }
    if (arrived.size() * kBlock >= static_cast<size_t>(size)) {
      m.WritePieceData(index, buffer.data(), size, 0, false);
    } else if (m.CacheBytes() + static_cast<int64_t>(arrived.size()) * kBlock <= m.CacheLimit()) {
      // Whole chunks from the start are hashed and written now; the rest waits in memory, as
      // far as the cache holds it (beyond, it is fetched again).
      m.TakeBlocks(index, arrived, buffer.data());
    }
    if (m.CacheBytes() > m.CacheLimit() / 2) previous.Storage().CloseAll();
  }
  previous.Storage().CloseAll();
  m.Storage().CloseAll();
  m.SetBytesChecked(m.TotalLength());
  const bool consistent = m.BytesComplete() <= m.TotalLength();
  if (consistent) ReportCheck();
  return consistent;
}

bool TStartupState::PrepareFiles() {
  TPieces& m = map_;
  bool ok = true;
  for (const TPieceFile& file : m.Files()) {
    if (file.Length > 0 && !file.Deselected()) {
      m.OpenFileForRange(file.Index, file.Length, true, true);
      if (task_.StopRequested()) {
        ok = false;
        break;
      }
    } else if (file.Length == 0 && !platform::PathExists(file.Path)) {
      platform::MakeDirectories(platform::DirectoryOf(file.Path));
      int fd = platform::OpenFile(file.Path, platform::OpenMode::ReadWrite);
      if (fd >= 0) platform::CloseFile(fd);
    }
  }
  m.Storage().CloseAll();
  m.RecountWanted();
  m.SetBytesChecked(m.TotalLength());
  return ok;
}

void TStartupState::ApplyFileSelection() {
  TPieces& m = map_;
  std::vector<std::string> deselected;
  if (m.SavedSelection().empty() || !TResumeRecord::DecodeFileSelection(m.SavedSelection(), &deselected)) return;
  m.SelectAll(true);
  std::vector<bool> flagged(m.Files().size(), false);
  bool any = false;
  for (const std::string& path : deselected) {
    for (const TPieceFile& file : m.Files()) {
      if (file.RelativePath == path) {
        flagged[static_cast<size_t>(file.Index)] = true;
        any = true;
      }
    }
  }
  if (!any) {
    m.SelectAll(false);
    return;
  }
  for (const TPieceFile& file : m.Files()) {
    if (!flagged[static_cast<size_t>(file.Index)]) m.SelectFile(file.Index, false);
  }
}

}  // namespace bw
