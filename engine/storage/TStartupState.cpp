#include "engine/storage/TStartupState.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "engine/common/Adler32.h"
#include "engine/common/QBufferPool.h"
#include "engine/common/Sha1.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPendingBlocks.h"
#include "engine/storage/TPieces.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr int64_t kCheckBufferLimit = 4 * 1024 * 1024;
constexpr int64_t kPendingSlack = 1024 * 1024;
constexpr int32_t kBlock = TPieces::kBlockSize;
constexpr int32_t kEntrySize = 4 + 4 + kBlock + 8;
constexpr int32_t kBodyHeader = 16;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsKey(const QElement* e, std::string_view key) {
  return e && e->IsValid() && e->GetType() == QElement::kStringType && e->ByteView() == key;
}

bool IsBytes(const QElement* e) {
  return e && e->IsValid() && e->GetType() == QElement::kStringType;
}

// The element right after the first child with these bytes.
const QElement* ValueAfter(const QElement& container, std::string_view key) {
  const QElement* found = container.FindElement(key.data(), static_cast<int64_t>(key.size()));
  return found ? container.NextSibling(found) : nullptr;
}

// A saved SHA-1 state is taken only when it is exactly what hashing `part` whole chunks leaves:
// no buffered bytes, the matching bit length, neither finished nor marked broken.
bool UsableState(const uint8_t* state, int64_t part, int32_t pieceSize) {
  if (part <= 0 || part >= pieceSize) return false;
  const uint64_t bits = Le32(state + 20) | uint64_t{Le32(state + 24)} << 32;
  const uint32_t blockIndex = uint32_t{state[28]} | uint32_t{state[29]} << 8;
  if (blockIndex != 0 || bits != static_cast<uint64_t>(part) * 8 || Le32(state + 96) != 0 ||
      Le32(state + 100) != 0) {
    return false;
  }
  Sha1 check;
  return check.ImportState(state, Sha1::kStateSize);
}

bool HashMatches(const uint8_t* data, int64_t length, const uint8_t* expected) {
  uint8_t digest[Sha1::kDigestSize];
  Sha1::Hash(data, static_cast<size_t>(length), digest);
  return std::memcmp(digest, expected, Sha1::kDigestSize) == 0;
}

}  // namespace

bool TStartupState::RestoreState(TPieces* previous) {
  TPieces& m = map_;
  m.Send(TPiecesEvent::kCheck, 1, 0, nullptr);
  bool ok;
  if (previous && previous != &m && previous->IsValid()) {
    if (previous->files_.size() != m.files_.size()) {
      ok = LoadResumeRecord();
    } else {
      ok = m.pieceLength_ % kBlock == 0 && previous->totalLength_ == m.totalLength_ &&
           MigrateFrom(*previous);
    }
  } else if (m.quickStart_) {
    ok = QuickCheck();
  } else if (LoadResumeRecord()) {
    ok = true;
  } else if (m.valid_) {
    ok = RecheckFiles();
  } else {
    m.StartEmpty();
    ok = true;
  }
  return ok && !m.task_.StopRequested();
}

void TStartupState::ClearState() {
  TPieces& m = map_;
  for (TPiece& piece : m.pieces_) {
    m.DropMemory(piece);
    m.ReleaseState(piece);
  }
  std::fill(m.bitfield_.begin(), m.bitfield_.end(), '\0');
  m.bytesComplete_ = m.bytesChecked_ = 0;
  m.lastCompleted_ = -1;
  m.RecountWanted();
}

bool TStartupState::LoadResumeRecord() {
  TPieces& m = map_;
  if (!m.useResume_ || m.savedBits_.empty()) return false;
  std::unique_ptr<QElement> root =
      ParseElement(m.savedBits_.data(), static_cast<int64_t>(m.savedBits_.size()));
  if (!root || root->GetType() != QElement::kDictionaryType) return false;

  const QElement* hash = ValueAfter(*root, "infohash");
  if (IsBytes(hash) && hash->Length() == 20 && m.hasInfoHash_ &&
      std::memcmp(hash->Bytes(), m.infoHash_, 20) != 0) {
    return false;
  }

  // Everything is checked before anything is applied, so a record that fails leaves the fresh
  // map as it was.
  std::vector<int32_t> priorities(m.files_.size(), 0);
  std::vector<bool> hasPriority(m.files_.size(), false);
  for (TPieceFile& file : m.files_) {
    if (file.Path.empty()) break;
    file.Handle.Close();
    const QElement* key = root->FindElement(file.Path.data(), static_cast<int64_t>(file.Path.size()));
    if (!key && !file.FinalPath.empty()) {
      key = root->FindElement(file.FinalPath.data(), static_cast<int64_t>(file.FinalPath.size()));
    }
    if (!key) return false;
    const QElement* low = root->NextSibling(key);
    const QElement* high = low ? root->NextSibling(low) : nullptr;
    const QElement* size = high ? root->NextSibling(high) : nullptr;
    if (!IsKey(low, "Low") || !IsKey(high, "High") || !IsKey(size, "Size")) return false;
    const QElement* priority = root->NextSibling(size);
    if (IsKey(priority, "Priority") && !file.Deselected() && priority->Value() >= -2 &&
        priority->Value() <= 2) {
      priorities[static_cast<size_t>(file.Index)] = static_cast<int32_t>(priority->Value());
      hasPriority[static_cast<size_t>(file.Index)] = true;
    }
    QDiskFile probe;
    const bool open = probe.Open(file.Path, QDiskFile::kReadOnly);
    const bool noTime = low->Value() == 0 && high->Value() == 0;
    // A file recorded as missing must still be missing, and a recorded one still present.
    if (open == noTime) return false;
    if ((open ? probe.Size() : -1) != size->Value()) return false;
  }

  const QElement* bits = ValueAfter(*root, "BitField");
  if (!IsBytes(bits) || static_cast<size_t>(bits->Length()) != m.bitfield_.size()) return false;
  const QElement* status = ValueAfter(*root, "PieceStatus");
  if (!status || !status->IsValid() || status->GetType() != QElement::kListType) return false;
  auto bitSet = [&](int64_t i) {
    return (static_cast<uint8_t>(bits->Bytes()[i / 8]) >> (7 - i % 8)) & 1;
  };

  struct Partial {
    int32_t index;
    int32_t part;
    const uint8_t* state;
  };
  std::vector<Partial> partial;
  for (int64_t e = 0; e < status->Count(); ++e) {
    const QElement* entry = status->ChildAt(e);
    if (!entry->IsValid() || entry->GetType() != QElement::kDictionaryType) continue;
    const QElement* index = entry->ChildAt(0);
    if (!IsKey(index, "Index") || index->Value() < 0 || index->Value() >= m.pieceCount_ ||
        bitSet(index->Value())) {
      continue;
    }
    const QElement* part = entry->ChildAt(1);
    const QElement* stateKey = entry->ChildAt(2);
    const QElement* state = entry->ChildAt(3);
    const QElement* check = entry->ChildAt(4);
    if (!IsKey(part, "Part") || part->Value() <= 0 || !IsKey(stateKey, "Status") ||
        !IsBytes(state) || state->Length() < static_cast<int64_t>(Sha1::kStateSize) ||
        !IsKey(check, "CRC32")) {
      continue;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(state->Bytes());
    const uint32_t sum = Adler32(static_cast<uint32_t>(index->Value()), bytes, Sha1::kStateSize);
    if (check->Value() != static_cast<int64_t>(sum)) continue;
    const TPiece& piece = m.Piece(index->Value());
    const int64_t chunk = std::min<int64_t>(piece.Size, TPieces::kChunkSize);
    if (part->Value() % chunk != 0 || !UsableState(bytes, part->Value(), piece.Size)) continue;
    partial.push_back({static_cast<int32_t>(index->Value()), static_cast<int32_t>(part->Value()), bytes});
  }

  for (int64_t i = 0; i < m.pieceCount_; ++i) {
    if (bitSet(i)) m.SetPieceState(i, true);
  }
  for (const Partial& p : partial) {
    TPiece& piece = m.pieces_[static_cast<size_t>(p.index)];
    if (!piece.Sha1State) piece.Sha1State = TPieces::StatePool().Alloc(Sha1::kStateSize);
    if (!piece.Sha1State) continue;
    std::memcpy(piece.Sha1State, p.state, Sha1::kStateSize);
    piece.HashedPrefix = p.part;
  }
  for (TPieceFile& file : m.files_) {
    if (hasPriority[static_cast<size_t>(file.Index)]) file.Selection = priorities[static_cast<size_t>(file.Index)];
  }
  m.bytesChecked_ = m.totalLength_;
  if (m.bytesComplete_ > m.totalLength_) return false;
  LoadPendingBlocks();
  m.Send(TPiecesEvent::kCheck, 1, 0, nullptr);
  return true;
}

bool TStartupState::LoadPendingBlocks() {
  TPieces& m = map_;
  if (m.pendingPath_.empty()) return false;
  if (m.IsComplete()) {
    platform::RemoveFile(m.pendingPath_);
    return true;
  }
  QDiskFile file;
  if (!file.Open(m.pendingPath_, QDiskFile::kReadOnly)) return false;
  static const uint8_t kNoHash[20] = {};
  const uint8_t* infoHash = m.hasInfoHash_ ? m.infoHash_ : kNoHash;
  std::vector<uint8_t> body;
  int64_t position = 0;
  for (;;) {
    uint8_t header[16];
    int64_t got;
    {
      QScopedLock lock(QDiskFile::DiskLock());
      got = file.Read(header, sizeof header, position);
    }
    if (got != static_cast<int64_t>(sizeof header)) break;
    const int64_t length = static_cast<int32_t>(Le32(header));
    const int64_t index = static_cast<int32_t>(Le32(header + 8));
    if (length < kBodyHeader || length >= m.pieceLength_ + kPendingSlack || index < 0 ||
        index >= m.pieceCount_) {
      break;
    }
    body.resize(static_cast<size_t>(length));
    {
      QScopedLock lock(QDiskFile::DiskLock());
      got = file.Read(body.data(), length, position + 16);
    }
    if (got != length) break;
    position += 16 + length;
    const uint32_t seed = Adler32(static_cast<uint32_t>(index), infoHash, 20);
    if (Adler32(seed, body.data(), body.size()) != Le32(header + 4)) break;

    TPiece& piece = m.pieces_[static_cast<size_t>(index)];
    if (m.IsPieceComplete(index) || piece.Skip || piece.Verified) continue;
    if (piece.HashedPrefix + piece.Blocks.BytesHeld() >= piece.Size) {
      if (!m.VerifyInMemory(piece)) {
        m.DropMemory(piece);
        m.DropPartialState(piece);
      }
      continue;
    }
    const int64_t held = static_cast<int32_t>(Le32(body.data()));
    const int64_t part = static_cast<int32_t>(Le32(body.data() + 4));
    const int64_t count = static_cast<int32_t>(Le32(body.data() + 8));
    if (count <= 0 || count > TPendingBlocks::kMaxBlocks || length < kBodyHeader + count * kEntrySize) break;
    // Only whole 16 KiB-aligned blocks of this piece, beyond its hashed prefix; of a short last
    // block only its real bytes.
    int64_t restored = 0;
    bool sound = true;
    std::vector<bool> seen(static_cast<size_t>((piece.Size + kBlock - 1) / kBlock), false);
    for (int64_t b = 0; b < count && sound; ++b) {
      const uint8_t* entry = body.data() + kBodyHeader + b * kEntrySize;
      const int64_t offset = static_cast<int32_t>(Le32(entry));
      sound = offset >= part && offset % kBlock == 0 && offset < piece.Size &&
              Le32(entry + 4) == static_cast<uint32_t>(kBlock) && !seen[static_cast<size_t>(offset / kBlock)];
      if (sound) {
        seen[static_cast<size_t>(offset / kBlock)] = true;
        restored += piece.Blocks.BlockLength(static_cast<int32_t>(offset));
      }
    }
    if (!sound || part < 0 || restored < held) break;
    if (part != piece.HashedPrefix) {
      m.DropMemory(piece);
      m.DropPartialState(piece);
      break;
    }
    for (int64_t b = 0; b < count; ++b) {
      const uint8_t* entry = body.data() + kBodyHeader + b * kEntrySize;
      const int32_t offset = static_cast<int32_t>(Le32(entry));
      m.StoreInMemory(piece, offset, entry + 8, piece.Blocks.BlockLength(offset));
    }
    piece.LastActivity = m.Now();
    if (piece.HashedPrefix + piece.Blocks.BytesHeld() >= piece.Size) {
      // Blocks from disk are trusted no more than blocks from a peer.
      if (m.VerifyInMemory(piece)) {
        m.MarkVerifiedInMemory(piece);
      } else {
        m.DropMemory(piece);
        m.DropPartialState(piece);
      }
    }
  }
  return true;
}

bool TStartupState::QuickCheck() {
  TPieces& m = map_;
  bool all = true;
  int64_t checked = 0;
  for (size_t f = 0; f < m.files_.size(); ++f) {
    if (f % 100 == 99 && m.task_.StopRequested()) return false;
    const TPieceFile& file = m.files_[f];
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
    for (int64_t i = 0; i < m.pieceCount_; ++i) m.bitfield_[static_cast<size_t>(i / 8)] |= static_cast<char>(0x80 >> (i % 8));
    m.bytesComplete_ = m.totalLength_;
    m.RecountWanted();
    std::vector<uint8_t> buffer(static_cast<size_t>(m.pieceLength_));
    for (int64_t i : {int64_t{0}, m.pieceCount_ - 1, m.pieceCount_ / 2}) {
      const int64_t size = m.Piece(i).Size;
      if (m.ReadPieceData(i, buffer.data(), size, 0, 0, true) != size) ok = false;
      m.DropMemory(m.pieces_[static_cast<size_t>(i)]);
    }
  }
  for (TPieceFile& file : m.files_) file.Handle.Close();
  if (!ok) {
    ClearState();
    return false;
  }
  m.bytesChecked_ = checked;
  m.lastCompleted_ = static_cast<int32_t>(m.pieceCount_ - 1);
  m.Send(TPiecesEvent::kWholeBitfield, 1, static_cast<int32_t>(m.bitfield_.size()), m.bitfield_.data());
  return m.bytesChecked_ >= m.totalLength_ && m.bytesComplete_ >= m.totalLength_;
}

bool TStartupState::RecheckFiles() {
  TPieces& m = map_;
  const int64_t L = m.pieceLength_;
  const int64_t capacity = (L > kCheckBufferLimit ? L : 8 * L) + L;
  std::unique_ptr<uint8_t[]> buffer;
  int64_t bufferStart = 0;  // torrent offset of buffer[0], always a piece start
  int64_t filled = 0;
  int64_t passed = 0;
  int64_t verified = 0;
  bool stopped = false;
  for (TPieceFile& file : m.files_) {
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
        for (;;) {
          const int64_t index = (bufferStart + used) / L;
          if (index >= m.pieceCount_) break;
          const int64_t size = m.Piece(index).Size;
          if (filled - used < size) break;
          if (verified++ % 10 == 0 && m.task_.StopRequested()) {
            stopped = true;
            break;
          }
          const bool good = HashMatches(buffer.get() + used, size, m.Piece(index).Hash);
          if (good) passed += size;
          m.SetPieceState(index, good);
          used += size;
        }
        std::memmove(buffer.get(), buffer.get() + used, static_cast<size_t>(filled - used));
        filled -= used;
        bufferStart += used;
        if (got < want) break;
      }
      if (position < file.Length) filled = 0;
    } else {
      filled = 0;
    }
    m.bytesChecked_ += file.Length;
  }
  if (stopped) {
    for (TPieceFile& file : m.files_) file.Handle.Close();
    return false;
  }
  m.CloseFiles(true, false);
  return m.bytesChecked_ >= m.totalLength_ && m.bytesComplete_ == passed;
}

bool TStartupState::MigrateFrom(TPieces& previous) {
  TPieces& m = map_;
  std::vector<uint8_t> buffer(static_cast<size_t>(m.pieceLength_));
  for (TPiece& piece : m.pieces_) {
    if (m.task_.StopRequested()) return false;
    const int64_t firstBlock = int64_t{piece.Index} * m.pieceLength_ / kBlock;
    std::vector<int32_t> arrived;
    for (int32_t offset = 0; offset < piece.Size; offset += kBlock) {
      const int32_t length = piece.Blocks.BlockLength(offset);
      if (previous.ReadBlock(firstBlock + offset / kBlock, length, buffer.data() + offset, 0, true) == length) {
        arrived.push_back(offset);
      }
    }
    if (arrived.size() * kBlock >= static_cast<size_t>(piece.Size)) {
      m.WritePieceData(piece.Index, buffer.data(), piece.Size, 0, false);
    } else if (!arrived.empty()) {
      for (int32_t offset : arrived) {
        m.StoreInMemory(piece, offset, buffer.data() + offset, piece.Blocks.BlockLength(offset));
      }
      piece.LastActivity = m.Now();
      // Whole chunks from the start are hashed and written now; the rest waits in memory.
      m.WritePrefix(piece, piece.Blocks.ChunkSize());
    }
    if (m.cacheBytes_ > m.CacheLimit() / 2) {
      for (TPieceFile& file : previous.files_) file.Handle.Close();
    }
  }
  for (TPieceFile& file : previous.files_) file.Handle.Close();
  for (TPieceFile& file : m.files_) file.Handle.Close();
  m.bytesChecked_ = m.totalLength_;
  const bool consistent = m.bytesComplete_ <= m.totalLength_;
  if (consistent) m.Send(TPiecesEvent::kCheck, 1, 0, nullptr);
  return consistent;
}

bool TStartupState::PrepareFiles() {
  TPieces& m = map_;
  bool ok = true;
  for (TPieceFile& file : m.files_) {
    if (file.Length > 0 && !file.Deselected()) {
      m.OpenFileForRange(file.Index, file.Length, true, true);
      if (m.task_.StopRequested()) {
        ok = false;
        break;
      }
    } else if (file.Length == 0 && !platform::PathExists(file.Path)) {
      platform::MakeDirectories(platform::DirectoryOf(file.Path));
      int fd = platform::OpenFile(file.Path, platform::OpenMode::ReadWrite);
      if (fd >= 0) platform::CloseFile(fd);
    }
  }
  for (TPieceFile& file : m.files_) file.Handle.Close();
  m.RecountWanted();
  m.bytesChecked_ = m.totalLength_;
  return ok;
}

void TStartupState::ApplyFileSelection() {
  TPieces& m = map_;
  if (m.savedPart_.empty()) return;
  std::unique_ptr<QElement> list =
      ParseElement(m.savedPart_.data(), static_cast<int64_t>(m.savedPart_.size()));
  if (!list || list->GetType() != QElement::kListType || list->Count() == 0) return;
  m.SelectAll(true);
  std::vector<bool> flagged(m.files_.size(), false);
  bool any = false;
  for (int64_t i = 0; i < list->Count(); i += 2) {
    const QElement* path = list->ChildAt(i);
    if (!IsBytes(path) || path->Value() == 0) continue;
    for (const TPieceFile& file : m.files_) {
      if (file.RelativePath == path->ByteView()) {
        flagged[static_cast<size_t>(file.Index)] = true;
        any = true;
      }
    }
  }
  if (!any) {
    m.SelectAll(false);
    return;
  }
  for (const TPieceFile& file : m.files_) {
    if (!flagged[static_cast<size_t>(file.Index)]) m.SelectFile(file.Index, false);
  }
}

}  // namespace bw
