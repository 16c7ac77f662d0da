#include "engine/storage/TTorrent.h"

#include <strings.h>

#include <cstring>
#include <memory>

#include "engine/common/IntReader.h"
#include "engine/common/Sha1.h"
#include "engine/storage/ITorrentTask.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPieces.h"
#include "platform/File.h"

namespace bw {

namespace {

constexpr char kHex[] = "0123456789abcdef";
// 18 digits always fit a 64-bit number; the 32-bit form of the old reader cut sizes at 4 GiB.
constexpr int kSizeDigits = 18;
constexpr int kLengthDigits = 10;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool IsBytes(const QElement* e) {
  return e && e->IsValid() && e->GetType() == QElement::kStringType;
}

// Keys are found by their bytes anywhere among the children; the value is the next child.
const QElement* ValueAfter(const QElement& dict, const char* key) {
  const QElement* found = dict.FindElement(key);
  return found ? dict.NextSibling(found) : nullptr;
}

std::string TextAfter(const QElement& dict, const char* key) {
  const QElement* value = ValueAfter(dict, key);
  return IsBytes(value) ? value->GetText() : std::string();
}

int32_t CodePageOfEncoding(std::string_view name) {
  struct Known {
    const char* name;
    int32_t codePage;
  };
  static constexpr Known kKnown[] = {{"GBK", 936}, {"BIG5", 950}, {"KOR", 949}, {"Shift-JIS", 932}};
  for (const Known& known : kKnown) {
    if (name.size() == std::strlen(known.name) && StartsWithNoCase(name, known.name)) return known.codePage;
  }
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text after `marker`, or none.
bool FieldAfter(std::string_view text, std::string_view marker, std::string_view* field) {
  size_t at = text.find(marker);
  if (at == std::string_view::npos) return false;
  *field = text.substr(at + marker.size());
  return true;
}

}  // namespace

void TTorrent::SetWorkState(int32_t state) {
  if (Task) Task->SetWorkState(state);
}

bool TTorrent::Load() {
  if (SourceText.find("$End$") != std::string::npos) {
    SetWorkState(ITorrentTask::kStateLoading);
    bool ok = LoadTemplate(SourceText);
    SetWorkState(ITorrentTask::kStateLoaded);
    return ok;
  }
  if (TorrentBytes.empty()) return LoadFromFile(SourceText);
  return LoadFromBytes(TorrentBytes.data(), static_cast<int64_t>(TorrentBytes.size()));
}

bool TTorrent::LoadFromFile(const std::string& address) {
  if (StartsWithNoCase(address, "http://Kademlia/") || !StartsWithNoCase(address, "file://")) {
    return false;
  }
  const std::string path = address.substr(7);
  std::string bytes;
  const int64_t size = platform::PathFileSize(path);
  if (size <= 0 || size > kMaxTorrentFile || !platform::ReadWholeFile(path, &bytes) || bytes.empty()) {
    if (Task) Task->StopWithError(ITorrentTask::kErrorTorrentUnreadable);
    return false;
  }
  return LoadFromBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
}

bool TTorrent::LoadFromBytes(const char* bytes, int64_t length) {
  SetWorkState(ITorrentTask::kStateLoading);
  ResetMetadata();
  bool ok = false;
  if (bytes && length > 0 && (bytes[0] == 'd' || bytes[0] == 'D')) {
    std::unique_ptr<QElement> root = ParseElement(bytes, length);
    ok = root && root->GetType() == QElement::kDictionaryType && ParseTorrent(*root);
  }
  SetWorkState(ITorrentTask::kStateLoaded);
  return ok;
}

std::string TTorrent::NormaliseAnnounce(std::string_view text, bool trim) {
  size_t start = text.find_first_of("hHuU");
  if (start == std::string_view::npos) return std::string();
  text.remove_prefix(start);
  while (!text.empty() && text.back() == '|') text.remove_suffix(1);
  if (trim) {
    auto blank = [](char c) { return c >= 0x01 && c <= 0x20; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  }
  return std::string(text);
}

void TTorrent::WalkTrackers(const QElement& container) {
  for (int64_t i = 0; i < container.Count(); ++i) {
    const QElement* child = container.ChildAt(i);
    if (!child->IsValid()) continue;
    if (child->GetType() != QElement::kStringType) {
      WalkTrackers(*child);
      continue;
    }
    const std::string_view bytes = child->ByteView();
    if (bytes == "Tracker") continue;
    if (bytes == "Name") return;
    std::string address = NormaliseAnnounce(bytes, false);
    if (!address.empty()) Trackers.push_back(std::move(address));
  }
}

bool TTorrent::ParseTorrent(QElement& root) {
  ResetMetadata();
  if (!root.IsValid() || root.GetType() != QElement::kDictionaryType) return false;
  if (CodePage == 0) {
    if (const QElement* key = root.FindElement("codepage"); key && key->HasAnInteger()) {
      CodePage = static_cast<int32_t>(key->Value());
    } else if (const QElement* encoding = ValueAfter(root, "encoding"); IsBytes(encoding)) {
      CodePage = CodePageOfEncoding(encoding->ByteView());
    }
  }
  if (CodePage != 0) root.SetCodePage(CodePage);

  const QElement* announce = ValueAfter(root, "announce");
  Announce = IsBytes(announce) ? NormaliseAnnounce(announce->ByteView(), true) : std::string();
  Trackers.push_back(Announce);
  const QElement* list = ValueAfter(root, "announce-list");
  if (list && list->IsValid() &&
      (list->GetType() == QElement::kListType || list->GetType() == QElement::kDictionaryType)) {
    WalkTrackers(*list);
  }
  Comment = TextAfter(root, "comment");
  Publisher = TextAfter(root, "publisher");
  PublisherUrl = TextAfter(root, "publisher-url");
  if (const QElement* date = root.FindElement("creation date")) CreationDate = date->Value();

  const QElement* info = ValueAfter(root, "info");
  if (!info || !info->IsValid() || info->GetType() != QElement::kDictionaryType || !info->Source()) {
    ResetMetadata();
    return false;
  }
  // The hash covers the bytes as received: a re-encoding could differ from them.
  uint8_t hash[Sha1::kDigestSize];
  Sha1::Hash(info->Source(), static_cast<size_t>(info->EncodedLength()), hash);
  SetInfoHash(hash);
  if (Publisher.empty()) Publisher = TextAfter(*info, "publisher");
  if (PublisherUrl.empty()) PublisherUrl = TextAfter(*info, "publisher-url");

  Pieces.SetInfoHash(InfoHash);
  if (!Pieces.LoadInfo(*info, PreviousPieces)) {
    ResetMetadata();
    return false;
  }
  PreviousPieces = nullptr;
  return true;
}

bool TTorrent::LoadTemplate(const std::string& text) {
  ResetMetadata();
  std::string_view hash, size, length, tracker;
  if (!FieldAfter(text, "$Hash$", &hash) || !FieldAfter(text, "$Size$", &size) ||
      !FieldAfter(text, "$Length$", &length) || !FieldAfter(text, "$Tracker$", &tracker)) {
    return false;
  }
  uint8_t bytes[20];
  if (hash.size() < 40) return false;
  for (size_t i = 0; i < 20; ++i) {
    const int high = HexValue(hash[2 * i]);
    const int low = HexValue(hash[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  size_t end = tracker.find("$End$");
  if (end == std::string_view::npos) return false;
  std::string address(tracker.substr(0, end));
  if (size_t scheme = address.find("$$$"); scheme != std::string::npos) address.replace(scheme, 3, "://");
  const int64_t total = ReadInt64(size, kSizeDigits);
  const int64_t pieceLength = ReadInt64(length, kLengthDigits);

  SetInfoHash(bytes);
  Announce = address;
  Trackers.push_back(address);
  Pieces.SetInfoHash(InfoHash);
  if (!Pieces.LoadTemplate(total, pieceLength)) {
    ResetMetadata();
    return false;
  }
  PreviousPieces = nullptr;
  return true;
}

void TTorrent::SetInfoHash(const uint8_t hash[20]) {
  std::memcpy(InfoHash, hash, sizeof InfoHash);
  InfoHashHex.clear();
  InfoHashEscaped.clear();
  for (uint8_t b : InfoHash) {
    const char hex[2] = {kHex[b >> 4], kHex[b & 15]};
    InfoHashHex.append(hex, 2);
    const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
    if (plain) {
      InfoHashEscaped += static_cast<char>(b);
    } else {
      InfoHashEscaped += '%';
      InfoHashEscaped.append(hex, 2);
    }
  }
}

void TTorrent::ResetMetadata() {
  Announce.clear();
  Publisher.clear();
  PublisherUrl.clear();
  Comment.clear();
  CreationDate = 0;
  std::memset(InfoHash, 0, sizeof InfoHash);
  InfoHashEscaped.clear();
  InfoHashHex.clear();
  Trackers.clear();
}

}  // namespace bw
