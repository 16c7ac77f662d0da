#include "engine/storage/TResumeRecord.h"

#include "engine/common/Adler32.h"
#include "engine/common/Sha1.h"
#include "engine/storage/QElement.h"

namespace bw {

namespace {

bool AddKey(QElement& dict, const char* key, int64_t value) {
  // A value of 0 is written as the bare key; readers take values by position.
  return dict.AppendString(key, -1, value, false) != nullptr;
}

bool AddPair(QElement& dict, const char* key, const void* bytes, int64_t length) {
  return dict.AppendString(key, -1) && dict.AppendString(static_cast<const char*>(bytes), length);
}

}  // namespace

bool TResumeRecord::Encode(const uint8_t* infoHash, const std::vector<FileFacts>& files,
                           const std::vector<PartialPiece>& partial, const std::string& bitfield,
                           std::string* out) {
  out->clear();
  std::unique_ptr<QElement> root = NewDictionary();
  if (!root || (infoHash && !AddPair(*root, "infohash", infoHash, 20))) return false;
  for (const FileFacts& file : files) {
    if (file.path.empty()) break;
    if (!root->AppendString(file.path.data(), static_cast<int64_t>(file.path.size())) ||
        !AddKey(*root, "Low", static_cast<int64_t>(file.time & 0xFFFFFFFFu)) ||
        !AddKey(*root, "High", static_cast<int64_t>(file.time >> 32)) ||
        !AddKey(*root, "Size", file.size) || !AddKey(*root, "Priority", file.priority)) {
      return false;
    }
  }
  std::unique_ptr<QElement> list = NewList();
  for (const PartialPiece& piece : partial) {
    std::unique_ptr<QElement> entry = NewDictionary();
    uint32_t check = Adler32(static_cast<uint32_t>(piece.index), piece.state, Sha1::kStateSize);
    if (!AddKey(*entry, "Index", piece.index) || !AddKey(*entry, "Part", piece.part) ||
        !AddPair(*entry, "Status", piece.state, Sha1::kStateSize) ||
        !AddKey(*entry, "CRC32", check) || !list->Append(std::move(entry))) {
      return false;
    }
  }
  if (!root->AppendString("PieceStatus", -1) || !root->Append(std::move(list)) ||
      !AddPair(*root, "BitField", bitfield.data(), static_cast<int64_t>(bitfield.size()))) {
    return false;
  }
  return root->Serialise(*out);
}

bool TResumeRecord::EncodeFileSelection(const std::vector<std::pair<std::string, bool>>& files,
                                        std::string* out) {
  out->clear();
  std::unique_ptr<QElement> list = NewList();
  for (const auto& [path, deselected] : files) {
    if (!list->AppendString(path.data(), static_cast<int64_t>(path.size()), deselected ? 1 : 0) ||
        !list->Append(NewDictionary())) {
      return false;
    }
  }
  return list->Serialise(*out);
}

}  // namespace bw
