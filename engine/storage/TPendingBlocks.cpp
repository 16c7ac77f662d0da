#include "engine/storage/TPendingBlocks.h"

#include <algorithm>
#include <cstring>

#include "engine/common/Adler32.h"
#include "engine/storage/DiskFault.h"
#include "engine/storage/QDiskFile.h"
#include "engine/storage/TPiece.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr int32_t kBlock = kBlockSize;
constexpr int32_t kEntry = 4 + 4 + kBlock + 8;
constexpr int32_t kBodyHeader = 16;
constexpr int64_t kBodySlack = 1024 * 1024;
constexpr size_t kFlushAt = 1024 * 1024 - 1;
constexpr size_t kBufferSize = 1152 * 1024;

void PutInt32(std::string* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int64_t Int32At(const uint8_t* p) { return static_cast<int32_t>(Le32(p)); }

bool WriteDurably(int fd, const std::string& data, int64_t* position, int* error) {
  QScopedLock lock(QDiskFile::DiskLock());
  int64_t n = platform::WriteAt(fd, data.data(), static_cast<int64_t>(data.size()), *position);
  if (n != static_cast<int64_t>(data.size())) {
    *error = n < 0 ? static_cast<int>(n) : 0;
    return false;
  }
  *position += n;
  return true;
}

int64_t PieceCount(const TPendingBlocks::Layout& layout) {
  return (layout.totalLength + layout.pieceLength - 1) / layout.pieceLength;
}

// The body length and piece index of a header that fits the layout, else -1.
int64_t BodyLength(const uint8_t* header, const TPendingBlocks::Layout& layout, int32_t* index) {
  const int64_t length = Int32At(header);
  const int64_t piece = Int32At(header + 8);
  if (layout.pieceLength <= 0 || length < kBodyHeader || length >= layout.pieceLength + kBodySlack || piece < 0 ||
      piece >= PieceCount(layout)) {
    return -1;
  }
  *index = static_cast<int32_t>(piece);
  return length;
}

bool DecodeBody(const uint8_t* header, const uint8_t* body, int64_t length, const TPendingBlocks::Layout& layout,
                TPendingBlocks::Record* out) {
  const int32_t index = out->index;
  const uint32_t seed = Adler32(static_cast<uint32_t>(index), layout.infoHash, 20);
  if (Adler32(seed, body, static_cast<size_t>(length)) != Le32(header + 4)) return false;
  const int64_t pieceSize = std::min(layout.pieceLength, layout.totalLength - index * layout.pieceLength);
  const int64_t held = Int32At(body);
  const int64_t part = Int32At(body + 4);
  const int64_t count = Int32At(body + 8);
  if (count <= 0 || count > TPendingBlocks::kMaxBlocks || length < kBodyHeader + count * kEntry || part < 0) {
    return false;
  }
  // Only whole 16 KiB-aligned blocks of this piece, beyond its hashed prefix; of a short last
  // block only its real bytes count.
  int64_t restored = 0;
  std::vector<bool> seen(static_cast<size_t>((pieceSize + kBlock - 1) / kBlock), false);
  out->blocks.clear();
  for (int64_t b = 0; b < count; ++b) {
    const uint8_t* entry = body + kBodyHeader + b * kEntry;
    const int64_t offset = Int32At(entry);
    if (offset < part || offset % kBlock != 0 || offset >= pieceSize ||
        Le32(entry + 4) != static_cast<uint32_t>(kBlock) || seen[static_cast<size_t>(offset / kBlock)]) {
      return false;
    }
    seen[static_cast<size_t>(offset / kBlock)] = true;
    restored += std::min<int64_t>(kBlock, pieceSize - offset);
    out->blocks.push_back({static_cast<int32_t>(offset), entry + 8});
  }
  if (restored < held) return false;
  out->held = static_cast<int32_t>(held);
  out->part = static_cast<int32_t>(part);
  return true;
}

}  // namespace

bool TPendingBlocks::AppendRecord(const uint8_t infoHash[20], const TPiece& piece, std::string* out) {
  const TPieceBlocks& blocks = piece.Blocks;
  std::vector<int32_t> offsets;
  int32_t held = 0;
  for (int32_t offset = piece.HashedPrefix; offset < piece.Size && offsets.size() < kMaxBlocks; offset += kBlock) {
    if (blocks.Has(offset)) {
      offsets.push_back(offset);
      held += blocks.BlockLength(offset);
    }
  }
  if (offsets.empty()) return false;
  const size_t bodyLength = kBodyHeader + offsets.size() * kEntry;
  const size_t start = out->size();
  // Zero-filled, so a short last block is padded and the trailing words need no writing.
  out->resize(start + kHeaderSize + bodyLength, '\0');
  const size_t body = start + kHeaderSize;
  PutInt32(out, body, static_cast<uint32_t>(held));
  PutInt32(out, body + 4, static_cast<uint32_t>(piece.HashedPrefix));
  PutInt32(out, body + 8, static_cast<uint32_t>(offsets.size()));
  for (size_t i = 0; i < offsets.size(); ++i) {
    const size_t entry = body + kBodyHeader + i * kEntry;
    PutInt32(out, entry, static_cast<uint32_t>(offsets[i]));
    PutInt32(out, entry + 4, static_cast<uint32_t>(kBlock));
    blocks.CopyOut(offsets[i], blocks.BlockLength(offsets[i]), reinterpret_cast<uint8_t*>(out->data() + entry + 8));
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
  const std::string temp = platform::TempNameFor(path);
  int fd = platform::OpenFile(temp, platform::OpenMode::Create);
  if (fd < 0) {
    LogDiskFailure("create", temp, fd);
    return false;
  }
  std::string buffer;
  buffer.reserve(kBufferSize);
  int64_t position = 0;
  int error = 0;
  bool ok = true;
  for (const TPiece* piece : pieces) {
    if (!ok) break;
    AppendRecord(infoHash, *piece, &buffer);
    if (buffer.size() > kFlushAt) {
      ok = WriteDurably(fd, buffer, &position, &error);
      buffer.clear();
    }
  }
  if (ok && !buffer.empty()) ok = WriteDurably(fd, buffer, &position, &error);
  if (!ok) {
    LogDiskFailure("write", temp, error);
    platform::CloseFile(fd);
    platform::RemoveFile(temp);
    return false;
  }
  error = platform::CommitTempFile(fd, path);
  if (error != 0) LogDiskFailure("replace", path, error);
  return error == 0;
}

std::vector<TPendingBlocks::Record> TPendingBlocks::Decode(const uint8_t* data, size_t size, const Layout& layout) {
  std::vector<Record> records;
  size_t position = 0;
  while (size - position >= static_cast<size_t>(kHeaderSize)) {
    const uint8_t* header = data + position;
    Record record;
    const int64_t length = BodyLength(header, layout, &record.index);
    if (length < 0 || static_cast<size_t>(length) > size - position - kHeaderSize ||
        !DecodeBody(header, header + kHeaderSize, length, layout, &record)) {
      break;
    }
    records.push_back(std::move(record));
    position += kHeaderSize + static_cast<size_t>(length);
  }
  return records;
}

bool TPendingBlocks::Load(const std::string& path, const Layout& layout,
                          const std::function<bool(const Record&)>& take) {
  QDiskFile file;
  if (!file.Open(path, QDiskFile::kReadOnly)) return false;
  std::vector<uint8_t> body;
  int64_t position = 0;
  for (;;) {
    uint8_t header[kHeaderSize];
    int64_t got;
    {
      QScopedLock lock(QDiskFile::DiskLock());
      got = file.Read(header, sizeof header, position);
    }
    Record record;
    const int64_t length = got == kHeaderSize ? BodyLength(header, layout, &record.index) : -1;
    if (length < 0) break;
    body.resize(static_cast<size_t>(length));
    {
      QScopedLock lock(QDiskFile::DiskLock());
      got = file.Read(body.data(), length, position + kHeaderSize);
    }
    if (got != length || !DecodeBody(header, body.data(), length, layout, &record) || !take(record)) break;
    position += kHeaderSize + length;
  }
  return true;
}

}  // namespace bw
