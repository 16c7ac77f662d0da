#include "engine/storage/TFileLayout.h"

#include <strings.h>
#include <unordered_set>

#include "engine/storage/QElement.h"
#include "engine/storage/TorrentPath.h"
#include "platform/File.h"

namespace bw {

namespace {

// Bounds every length so that sums and offsets stay far from overflow.
constexpr int64_t kMaxTotalLength = int64_t{1} << 50;

const QElement* IntegerOf(const QElement& dict, const char* key) {
  const QElement* e = dict.FindValue(key);
  return e && e->HasAnInteger() ? e : nullptr;
}

bool EndsWithFolder(const std::string& folder, const std::string& name) {
  if (folder.size() < name.size()) return false;
  size_t start = folder.size() - name.size();
  if (start > 0 && folder[start - 1] != '/') return false;
  return strncasecmp(folder.c_str() + start, name.c_str(), name.size()) == 0;
}

}  // namespace

int32_t TFileLayout::FilePieceCount(int64_t offset, int64_t length, int64_t pieceLength) {
  if (length <= 0) return 0;
  int64_t d = offset % pieceLength;
  int64_t e = d > 0 ? pieceLength - d : 0;
  if (length <= e) return 1;
  return static_cast<int32_t>((length - e + pieceLength - 1) / pieceLength + (d > 0 ? 1 : 0));
}

bool TFileLayout::AddFile(const std::string& path, const std::string& relativePath, int64_t length) {
  if (length < 0 || length > kMaxTotalLength - TotalLength) return false;
  TPieceFile file;
  file.Index = static_cast<int32_t>(Files.size());
  file.RelativePath = relativePath;
  file.Length = length;
  file.Offset = TotalLength;
  file.FirstPiece = static_cast<int32_t>(TotalLength / PieceLength);
  file.PieceCount = FilePieceCount(TotalLength, length, PieceLength);
  file.SetFinalPath(CleanPathText(path));
  Files.push_back(std::move(file));
  TotalLength += length;
  return true;
}

bool TFileLayout::Build(const QElement& info, const std::string& saveDirectory, const std::string& targetPath) {
  Files.clear();
  TotalLength = 0;
  if (info.GetType() != QElement::kDictionaryType || !info.IsValid()) return false;
  const QElement* length = IntegerOf(info, "piece length");
  if (!length || length->Value() <= 0 || length->Value() % kBlockSize != 0 || length->Value() > kMaxPieceLength) {
    return false;
  }
  PieceLength = length->Value();
  const QElement* pieces = info.FindValue("pieces");
  if (!pieces || pieces->GetType() != QElement::kStringType || pieces->Length() < 20 || pieces->Length() % 20 != 0) {
    return false;
  }
  Hashes.assign(pieces->Bytes(), static_cast<size_t>(pieces->Length()));
  PieceCount = pieces->Length() / 20;

  const QElement* nameElement = info.FindValue("name");
  std::string name =
      nameElement && nameElement->GetType() == QElement::kStringType ? nameElement->GetText() : std::string();
  std::string folder = WithTrailingSlash(saveDirectory);

  if (info.FindValue("length")) {
    const QElement* fileLength = IntegerOf(info, "length");
    if (!fileLength || fileLength->Value() <= 0) return false;
    if (name.empty()) name = kDefaultName;
    if (!IsSafePathComponent(name)) return false;
    return AddFile(targetPath.empty() ? folder + name : targetPath, name, fileLength->Value());
  }
  const QElement* list = info.FindValue("files");
  if (!list || list->GetType() != QElement::kListType || list->Count() == 0) return false;
  if (!IsSafePathComponent(name)) return false;
  return BuildMultiFile(*list, folder, name) && !Files.empty();
}

bool TFileLayout::BuildMultiFile(const QElement& list, std::string saveDirectory, const std::string& name) {
  const std::string prefix = name + '/';
  // The files never land in a folder N inside a folder N.
  if (EndsWithFolder(saveDirectory, prefix)) saveDirectory.resize(saveDirectory.size() - prefix.size());
  std::vector<std::string> folders;
  for (int64_t i = 0; i < list.Count(); ++i) {
    const QElement* entry = list.ChildAt(i);
    if (!entry || entry->GetType() != QElement::kDictionaryType || entry->Count() == 0) break;
    const QElement* length = IntegerOf(*entry, "length");
    const QElement* path = entry->FindValue("path");
    if (!length || length->Value() < 0 || !path || path->GetType() != QElement::kListType || path->Count() == 0) {
      break;
    }
    std::string relative = prefix;
    for (int64_t c = 0; c < path->Count(); ++c) {
      const QElement* component = path->ChildAt(c);
      if (!component || component->GetType() != QElement::kStringType) return false;
      std::string text = component->GetText();
      // Only the last component may be empty: it marks a directory entry.
      bool last = c + 1 == path->Count();
      if (!(last && text.empty()) && !IsSafePathComponent(text)) return false;
      if (c > 0) relative += '/';
      relative += text;
    }
    if (relative.back() == '/') {
      if (length->Value() != 0) break;
      folders.push_back(relative);
      continue;
    }
    if (!AddFile(saveDirectory + relative, relative, length->Value())) return false;
  }
  if (!PathsAreDistinct(folders)) return false;
  for (const std::string& folder : folders) platform::MakeDirectories(CleanPathText(saveDirectory + folder));
  return true;
}

// Two entries that the file system would take for one path would share their bytes: paths are
// compared as they land on disk, and no file may stand where another entry needs a folder.
bool TFileLayout::PathsAreDistinct(const std::vector<std::string>& folders) const {
  std::unordered_set<std::string> files;
  for (const TPieceFile& file : Files) {
    if (!files.insert(CleanPathText(file.RelativePath)).second) return false;
  }
  auto underAFile = [&files](const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (files.count(path.substr(0, slash))) return true;
    }
    return false;
  };
  for (const std::string& path : files) {
    if (underAFile(path)) return false;
  }
  for (const std::string& folder : folders) {
    if (underAFile(CleanPathText(folder))) return false;
  }
  return true;
}

}  // namespace bw
