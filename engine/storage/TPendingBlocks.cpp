#include "engine/storage/TPendingBlocks.h"

#include <cstring>

#include "engine/common/Adler32.h"
#include "engine/storage/QDiskFile.h"
#include "engine/storage/TPiece.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr int32_t kBlock = TPieceBlocks::kBlockSize;
constexpr int32_t kEntry = 4 + 4 + kBlock + 8;
constexpr size_t kFlushAt = 1024 * 1024 - 1;
constexpr size_t kBufferSize = 1152 * 1024;

void PutInt32(std::string* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

bool WriteDurably(int fd, const std::string& data, int64_t* position) {
  QScopedLock lock(QDiskFile::DiskLock());
  int64_t n = platform::WriteAt(fd, data.data(), static_cast<int64_t>(data.size()), *position);
  if (n != static_cast<int64_t>(data.size())) return false;
  *position += n;
  return true;
}

}  // namespace

bool TPendingBlocks::AppendRecord(const uint8_t infoHash[20], const TPiece& piece,
                                  std::string* out) {
  const TPieceBlocks& blocks = piece.Blocks;
  std::vector<int32_t> offsets;
  int32_t held = 0;
  for (int32_t offset = piece.HashedPrefix; offset < piece.Size && offsets.size() < kMaxBlocks;
       offset += kBlock) {
    if (blocks.Has(offset)) {
      offsets.push_back(offset);
      held += blocks.BlockLength(offset);
    }
  }
  if (offsets.empty()) return false;
  const size_t bodyLength = 16 + offsets.size() * kEntry;
  const size_t start = out->size();
  // Zero-filled, so a short last block is padded and the trailing words need no writing.
  out->resize(start + 16 + bodyLength, '\0');
  const size_t body = start + 16;
  PutInt32(out, body, static_cast<uint32_t>(held));
  PutInt32(out, body + 4, static_cast<uint32_t>(piece.HashedPrefix));
  PutInt32(out, body + 8, static_cast<uint32_t>(offsets.size()));
  for (size_t i = 0; i < offsets.size(); ++i) {
    const size_t entry = body + 16 + i * kEntry;
    PutInt32(out, entry, static_cast<uint32_t>(offsets[i]));
    PutInt32(out, entry + 4, static_cast<uint32_t>(kBlock));
    blocks.CopyOut(offsets[i], blocks.BlockLength(offsets[i]),
                   reinterpret_cast<uint8_t*>(out->data() + entry + 8));
  }
  uint32_t seed = Adler32(static_cast<uint32_t>(piece.Index), infoHash, 20);
  PutInt32(out, start, static_cast<uint32_t>(bodyLength));
  PutInt32(out, start + 4, Adler32(seed, out->data() + body, bodyLength));
  PutInt32(out, start + 8, static_cast<uint32_t>(piece.Index));
  return true;
}

bool TPendingBlocks::Save(const std::string& path, const uint8_t infoHash[20],
                          const std::vector<const TPiece*>& pieces) {
  std::string folder = platform::DirectoryOf(path);
  if (!folder.empty()) platform::MakeDirectories(folder);
  int fd = platform::OpenFile(platform::TempNameFor(path), platform::OpenMode::Create);
  if (fd < 0) return false;
  std::string buffer;
  buffer.reserve(kBufferSize);
  int64_t position = 0;
  bool ok = true;
  for (const TPiece* piece : pieces) {
    if (!ok) break;
    AppendRecord(infoHash, *piece, &buffer);
    if (buffer.size() > kFlushAt) {
      ok = WriteDurably(fd, buffer, &position);
      buffer.clear();
    }
  }
  if (ok && !buffer.empty()) ok = WriteDurably(fd, buffer, &position);
  if (!ok) {
    platform::CloseFile(fd);
    platform::RemoveFile(platform::TempNameFor(path));
    return false;
  }
  return platform::CommitTempFile(fd, path) == 0;
}

}  // namespace bw
