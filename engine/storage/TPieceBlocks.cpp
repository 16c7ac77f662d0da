#include "engine/storage/TPieceBlocks.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/common/QBufferPool.h"

namespace bw {

TPieceBlocks::TPieceBlocks(TPieceBlocks&& other) noexcept { *this = std::move(other); }

TPieceBlocks& TPieceBlocks::operator=(TPieceBlocks&& other) noexcept {
  if (this != &other) {
    Clear();
    pieceSize_ = other.pieceSize_;
    held_ = std::move(other.held_);
  }
  return *this;
}

void TPieceBlocks::Init(int32_t pieceSize) {
  Clear();
  pieceSize_ = std::max(pieceSize, 0);
}

void TPieceBlocks::Clear() {
  if (held_) {
    for (uint8_t* chunk : held_->chunks) held_->pool->Free(chunk);
    held_.reset();
  }
}

int32_t TPieceBlocks::BlockLength(int32_t offset) const {
  if (offset < 0 || offset >= pieceSize_ || offset % kBlockSize != 0) return 0;
  return std::min(kBlockSize, pieceSize_ - offset);
}

bool TPieceBlocks::Has(int32_t offset) const {
  return BlockLength(offset) > 0 && Present(static_cast<size_t>(offset / kBlockSize));
}

bool TPieceBlocks::HasRange(int32_t offset, int32_t length) const {
  if (offset < 0 || length <= 0 || offset > pieceSize_ - length) return false;
  for (int32_t b = offset / kBlockSize; b <= (offset + length - 1) / kBlockSize; ++b) {
    if (!Present(static_cast<size_t>(b))) return false;
  }
  return true;
}

int32_t TPieceBlocks::RunFrom(int32_t offset) const {
  int32_t end = offset;
  while (Has(end)) end += BlockLength(end);
  return end - offset;
}

bool TPieceBlocks::AnyFrom(int32_t offset) const {
  if (!held_) return false;
  const std::vector<bool>& present = held_->present;
  size_t first = static_cast<size_t>(std::max(offset, 0) / kBlockSize);
  return std::find(present.begin() + static_cast<std::ptrdiff_t>(std::min(first, present.size())), present.end(),
                   true) != present.end();
}

uint8_t* TPieceBlocks::ChunkFor(QBufferPool& pool, int32_t offset) {
  const int32_t chunkSize = ChunkSize();
  if (!held_) {
    held_ = std::make_unique<Held>();
    held_->pool = &pool;
    held_->chunks.assign(static_cast<size_t>((pieceSize_ + chunkSize - 1) / chunkSize), nullptr);
    held_->present.assign(static_cast<size_t>((pieceSize_ + kBlockSize - 1) / kBlockSize), false);
  }
  uint8_t*& chunk = held_->chunks[static_cast<size_t>(offset / chunkSize)];
  if (!chunk) chunk = held_->pool->Alloc(chunkSize);
  if (chunk) return chunk;
  if (held_->bytes == 0) Clear();
  return nullptr;
}

bool TPieceBlocks::Store(QBufferPool& pool, int32_t offset, const uint8_t* data, int32_t length) {
  if (length <= 0 || BlockLength(offset) != length) return false;
  if (Has(offset)) return true;
  uint8_t* chunk = ChunkFor(pool, offset);
  if (!chunk) return false;
  uint8_t* at = chunk + offset % ChunkSize();
  // Received in place: the data is there already.
  if (at != data) std::memcpy(at, data, static_cast<size_t>(length));
  held_->present[static_cast<size_t>(offset / kBlockSize)] = true;
  held_->bytes += length;
  return true;
}

std::span<uint8_t> TPieceBlocks::Space(QBufferPool& pool, int32_t offset, int32_t length) {
  if (length <= 0 || BlockLength(offset) == 0 || Has(offset)) return {};
  uint8_t* chunk = ChunkFor(pool, offset);
  if (!chunk) return {};
  const int32_t chunkEnd = std::min(pieceSize_, (offset / ChunkSize() + 1) * ChunkSize());
  int32_t end = offset;
  while (end < chunkEnd && end < offset + length && !Has(end)) end += BlockLength(end);
  return {chunk + offset % ChunkSize(), static_cast<size_t>(end - offset)};
}

void TPieceBlocks::CopyOut(int32_t offset, int32_t length, uint8_t* out) const {
  ForEachRun(offset, length, [&out](const uint8_t* data, int32_t n) {
    std::memcpy(out, data, static_cast<size_t>(n));
    out += n;
  });
}

bool TPieceBlocks::ReleasePrefix(int32_t end) {
  const int32_t chunkSize = ChunkSize();
  if (chunkSize == 0) return end == 0;
  if (end < 0 || end > pieceSize_ || (end % chunkSize != 0 && end != pieceSize_)) return false;
  if (!held_) return true;
  for (int32_t offset = 0; offset < end; offset += kBlockSize) {
    const size_t b = static_cast<size_t>(offset / kBlockSize);
    if (held_->present[b]) held_->bytes -= BlockLength(offset);
    held_->present[b] = false;
  }
  for (int32_t c = 0; c * chunkSize < end; ++c) {
    held_->pool->Free(held_->chunks[static_cast<size_t>(c)]);
    held_->chunks[static_cast<size_t>(c)] = nullptr;
  }
  if (held_->bytes == 0) Clear();
  return true;
}

}  // namespace bw
