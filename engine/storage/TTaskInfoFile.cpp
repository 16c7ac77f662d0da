#include "engine/storage/TTaskInfoFile.h"

#include <utility>

#include "engine/storage/QElement.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr const char* kKeys[] = {"bits", "part", "seeds", "torrent"};

}  // namespace

bool TTaskInfoFile::Encode(std::string* out) const {
  out->clear();
  const std::string* values[] = {&bits, &part, &seeds, &torrent};
  std::unique_ptr<QElement> root = NewDictionary();
  for (size_t i = 0; i < 4; ++i) {
    if (values[i]->empty()) continue;
    if (!root->AppendString(kKeys[i], -1) ||
        !root->AppendString(values[i]->data(), static_cast<int64_t>(values[i]->size()))) {
      return false;
    }
  }
  return root->Serialise(*out);
}

bool TTaskInfoFile::Save(const std::string& path) const {
  std::string bytes;
  return Encode(&bytes) && platform::ReplaceFileDurably(path, bytes.data(), bytes.size()) == 0;
}

bool TTaskInfoFile::Load(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) return false;
  std::unique_ptr<QElement> root = ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()));
  if (!root || root->GetType() != QElement::kDictionaryType) return false;
  std::string* values[] = {&bits, &part, &seeds, &torrent};
  for (size_t i = 0; i < 4; ++i) {
    const QElement* value = root->FindValue(kKeys[i]);
    if (value && value->GetType() == QElement::kStringType && value->Length() > 2) {
      values[i]->assign(value->Bytes(), static_cast<size_t>(value->Length()));
    }
  }
  return true;
}

}  // namespace bw
