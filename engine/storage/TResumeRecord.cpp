#include "engine/storage/TResumeRecord.h"

#include <cstring>
#include <string_view>

#include "engine/common/Adler32.h"
#include "engine/common/Sha1.h"
#include "engine/storage/QElement.h"

namespace bw {

namespace {

static_assert(TResumeRecord::kStateSize == Sha1::kStateSize);

bool AddKey(QElement& dict, const char* key, int64_t value) {
  // A value of 0 is written as the bare key; readers take values by position.
  return dict.AppendString(key, -1, value, false) != nullptr;
}

bool AddPair(QElement& dict, const char* key, const void* bytes, int64_t length) {
  return dict.AppendString(key, -1) && dict.AppendString(static_cast<const char*>(bytes), length);
}

bool IsBytes(const QElement* e) { return e && e->IsValid() && e->GetType() == QElement::kStringType; }

bool IsKey(const QElement* e, std::string_view key) { return IsBytes(e) && e->ByteView() == key; }

// The element right after the first child with these bytes.
const QElement* ValueAfter(const QElement& container, std::string_view key) {
  const QElement* found = container.FindElement(key.data(), static_cast<int64_t>(key.size()));
  return found ? container.NextSibling(found) : nullptr;
}

bool DecodePiece(const QElement& entry, TResumeRecord::SavedPiece* out) {
  if (!entry.IsValid() || entry.GetType() != QElement::kDictionaryType) return false;
  const QElement* index = entry.ChildAt(0);
  const QElement* part = entry.ChildAt(1);
  const QElement* stateKey = entry.ChildAt(2);
  const QElement* state = entry.ChildAt(3);
  const QElement* check = entry.ChildAt(4);
  if (!IsKey(index, "Index") || !IsKey(part, "Part") || part->Value() <= 0 || !IsKey(stateKey, "Status") ||
      !IsBytes(state) || state->Length() < static_cast<int64_t>(TResumeRecord::kStateSize) || !IsKey(check, "CRC32")) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(state->Bytes());
  const uint32_t sum = Adler32(static_cast<uint32_t>(index->Value()), bytes, TResumeRecord::kStateSize);
  if (check->Value() != static_cast<int64_t>(sum)) return false;
  out->index = index->Value();
  out->part = part->Value();
  std::memcpy(out->state.data(), bytes, TResumeRecord::kStateSize);
  return true;
}

}  // namespace

bool TResumeRecord::Encode(const uint8_t* infoHash, const std::vector<FileFacts>& files,
                           const std::vector<PartialPiece>& partial, const std::string& bitfield, std::string* out) {
  out->clear();
  std::unique_ptr<QElement> root = NewDictionary();
  if (!root || (infoHash && !AddPair(*root, "infohash", infoHash, 20))) return false;
  for (const FileFacts& file : files) {
    if (file.path.empty()) break;
    if (!root->AppendString(file.path.data(), static_cast<int64_t>(file.path.size())) ||
        !AddKey(*root, "Low", static_cast<int64_t>(file.time & 0xFFFFFFFFu)) ||
        !AddKey(*root, "High", static_cast<int64_t>(file.time >> 32)) || !AddKey(*root, "Size", file.size) ||
        !AddKey(*root, "Priority", file.priority)) {
      return false;
    }
  }
  std::unique_ptr<QElement> list = NewList();
  for (const PartialPiece& piece : partial) {
    std::unique_ptr<QElement> entry = NewDictionary();
    uint32_t check = Adler32(static_cast<uint32_t>(piece.index), piece.state, Sha1::kStateSize);
    if (!AddKey(*entry, "Index", piece.index) || !AddKey(*entry, "Part", piece.part) ||
        !AddPair(*entry, "Status", piece.state, Sha1::kStateSize) || !AddKey(*entry, "CRC32", check) ||
        !list->Append(std::move(entry))) {
      return false;
    }
  }
  if (!root->AppendString("PieceStatus", -1) || !root->Append(std::move(list)) ||
      !AddPair(*root, "BitField", bitfield.data(), static_cast<int64_t>(bitfield.size()))) {
    return false;
  }
  return root->Serialise(*out);
}

bool TResumeRecord::Decode(const std::string& bytes, Saved* out) {
  *out = Saved{};
  std::unique_ptr<QElement> root = ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()));
  if (!root || root->GetType() != QElement::kDictionaryType) return false;
  const QElement* bits = ValueAfter(*root, "BitField");
  const QElement* status = ValueAfter(*root, "PieceStatus");
  if (!IsBytes(bits) || !status || !status->IsValid() || status->GetType() != QElement::kListType) {
    return false;
  }
  out->bitfield.assign(bits->Bytes(), static_cast<size_t>(bits->Length()));
  const QElement* hash = ValueAfter(*root, "infohash");
  if (IsBytes(hash) && hash->Length() == 20) {
    out->hasInfoHash = true;
    std::memcpy(out->infoHash.data(), hash->Bytes(), 20);
  }
  for (int64_t i = 0; i + 3 < root->Count(); ++i) {
    const QElement* path = root->ChildAt(i);
    const QElement* low = root->ChildAt(i + 1);
    const QElement* high = root->ChildAt(i + 2);
    const QElement* size = root->ChildAt(i + 3);
    if (!IsBytes(path) || !IsKey(low, "Low") || !IsKey(high, "High") || !IsKey(size, "Size")) continue;
    SavedFile& file = out->files.emplace_back();
    file.path = std::string(path->ByteView());
    file.low = low->Value();
    file.high = high->Value();
    file.size = size->Value();
    const QElement* priority = root->ChildAt(i + 4);
    if (IsKey(priority, "Priority")) {
      file.hasPriority = true;
      file.priority = priority->Value();
    }
  }
  for (int64_t e = 0; e < status->Count(); ++e) {
    SavedPiece piece;
    if (DecodePiece(*status->ChildAt(e), &piece)) out->pieces.push_back(piece);
  }
  return true;
}

const TResumeRecord::SavedFile* TResumeRecord::Saved::FindFile(const std::string& path) const {
  for (const SavedFile& file : files) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

bool TResumeRecord::EncodeFileSelection(const std::vector<std::pair<std::string, bool>>& files, std::string* out) {
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

bool TResumeRecord::DecodeFileSelection(const std::string& bytes, std::vector<std::string>* deselected) {
  deselected->clear();
  std::unique_ptr<QElement> list = ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()));
  if (!list || list->GetType() != QElement::kListType || list->Count() == 0) return false;
  for (int64_t i = 0; i < list->Count(); i += 2) {
    const QElement* path = list->ChildAt(i);
    if (IsBytes(path) && path->Value() != 0) deselected->emplace_back(path->ByteView());
  }
  return true;
}

}  // namespace bw
