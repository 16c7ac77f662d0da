#include "engine/storage/TPieceBlocks.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/common/QBufferPool.h"

namespace bw {

TPieceBlocks::TPieceBlocks(TPieceBlocks&& other) noexcept : pool_(other.pool_) {
  *this = std::move(other);
}

TPieceBlocks& TPieceBlocks::operator=(TPieceBlocks&& other) noexcept {
  if (this != &other) {
    Clear();
    pool_ = other.pool_;
    pieceSize_ = other.pieceSize_;
    chunkSize_ = other.chunkSize_;
    bytesHeld_ = std::exchange(other.bytesHeld_, 0);
    chunks_ = std::move(other.chunks_);
    present_ = std::move(other.present_);
    other.chunks_.assign(chunks_.size(), nullptr);
    other.present_.assign(present_.size(), false);
  }
  return *this;
}

void TPieceBlocks::Init(int32_t pieceSize) {
  Clear();
  pieceSize_ = std::max(pieceSize, 0);
  chunkSize_ = std::min(pieceSize_, kChunkSize);
  size_t chunks = chunkSize_ ? static_cast<size_t>((pieceSize_ + chunkSize_ - 1) / chunkSize_) : 0;
  chunks_.assign(chunks, nullptr);
  present_.assign(static_cast<size_t>((pieceSize_ + kBlockSize - 1) / kBlockSize), false);
}

void TPieceBlocks::Clear() {
  for (uint8_t*& chunk : chunks_) {
    pool_->Free(chunk);
    chunk = nullptr;
  }
  std::fill(present_.begin(), present_.end(), false);
  bytesHeld_ = 0;
}

int32_t TPieceBlocks::BlockLength(int32_t offset) const {
  if (offset < 0 || offset >= pieceSize_ || offset % kBlockSize != 0) return 0;
  return std::min(kBlockSize, pieceSize_ - offset);
}

bool TPieceBlocks::Has(int32_t offset) const {
  return BlockLength(offset) > 0 && present_[static_cast<size_t>(offset / kBlockSize)];
}

bool TPieceBlocks::HasRange(int32_t offset, int32_t length) const {
  if (offset < 0 || length <= 0 || offset > pieceSize_ - length) return false;
  for (int32_t b = offset / kBlockSize; b <= (offset + length - 1) / kBlockSize; ++b) {
    if (!present_[static_cast<size_t>(b)]) return false;
  }
  return true;
}

int32_t TPieceBlocks::RunFrom(int32_t offset) const {
  int32_t end = offset;
  while (Has(end)) end += BlockLength(end);
  return end - offset;
}

bool TPieceBlocks::AnyFrom(int32_t offset) const {
  size_t first = static_cast<size_t>(std::max(offset, 0) / kBlockSize);
  return std::find(present_.begin() + static_cast<std::ptrdiff_t>(std::min(first, present_.size())),
                   present_.end(), true) != present_.end();
}

bool TPieceBlocks::Store(int32_t offset, const uint8_t* data, int32_t length) {
  if (length <= 0 || BlockLength(offset) != length) return false;
  if (Has(offset)) return true;
  size_t c = static_cast<size_t>(offset / chunkSize_);
  if (!chunks_[c]) {
    chunks_[c] = pool_->Alloc(chunkSize_);
    if (!chunks_[c]) return false;
  }
  std::memcpy(chunks_[c] + offset % chunkSize_, data, static_cast<size_t>(length));
  present_[static_cast<size_t>(offset / kBlockSize)] = true;
  bytesHeld_ += length;
  return true;
}

void TPieceBlocks::CopyOut(int32_t offset, int32_t length, uint8_t* out) const {
  ForEachRun(offset, length, [&out](const uint8_t* data, int32_t n) {
    std::memcpy(out, data, static_cast<size_t>(n));
    out += n;
  });
}

bool TPieceBlocks::ReleasePrefix(int32_t end) {
  if (end < 0 || end > pieceSize_ || (end % chunkSize_ != 0 && end != pieceSize_)) return false;
  for (int32_t offset = 0; offset < end; offset += kBlockSize) {
    size_t b = static_cast<size_t>(offset / kBlockSize);
    if (present_[b]) bytesHeld_ -= BlockLength(offset);
    present_[b] = false;
  }
  for (int32_t c = 0; c * chunkSize_ < end; ++c) {
    pool_->Free(chunks_[static_cast<size_t>(c)]);
    chunks_[static_cast<size_t>(c)] = nullptr;
  }
  return true;
}

}  // namespace bw
