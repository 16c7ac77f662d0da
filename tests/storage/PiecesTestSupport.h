#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/common/Sha1.h"
#include "engine/storage/IPieceSource.h"
#include "engine/storage/IPiecesTask.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPieces.h"
#include "tests/support/TempDir.h"

namespace bw::test {

// Records what the piece map reports; the clock and the stop request are set by the test.
class FakeTask : public IPiecesTask {
 public:
  struct Seen {
    int32_t type, value, size;
    std::string bytes;
  };
  void OnPiecesEvent(const TPiecesEvent& e) override {
    Seen seen{e.type, e.value, e.size, {}};
    if (e.data && e.size > 0) seen.bytes.assign(static_cast<const char*>(e.data), static_cast<size_t>(e.size));
    events.push_back(seen);
    if (e.type == TPiecesEvent::kWaitingForDisk && stopOnDiskFull) stop = true;
  }
  bool StopRequested() override { return stop; }
  int64_t Clock() override { return now; }
  bool MetadataLoaded() override { return true; }
  void ReportEvent(const char* code, const std::string& text) override {
    reports.emplace_back(std::string(code) + " " + text);
  }
  int Count(int32_t type) const {
    int n = 0;
    for (const Seen& s : events) n += s.type == type;
    return n;
  }
  const Seen* Last(int32_t type) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->type == type) return &*it;
    }
    return nullptr;
  }

  std::vector<Seen> events;
  std::vector<std::string> reports;
  int64_t now = 100000;
  bool stop = false;
  bool stopOnDiskFull = true;
};

class FakeSource : public IPieceSource {
 public:
  FakeSource(int32_t kind, uint32_t ip, uint16_t port, std::string text)
      : kind_(kind), ip_(ip), port_(port), text_(std::move(text)) {}
  void AddRef() override { ++refs; }
  void Release() override { --refs; }
  int32_t Kind() const override { return kind_; }
  uint32_t Ipv4() const override { return ip_; }
  uint16_t Port() const override { return port_; }
  std::string AddressText() const override { return text_; }
  void CountFailure() override { ++failures; }
  void ResetFailures() override { failures = 0; }

  int refs = 0;
  int failures = 0;

 private:
  int32_t kind_;
  uint32_t ip_;
  uint16_t port_;
  std::string text_;
};

inline std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

inline std::string PieceHashes(const std::string& content, int64_t pieceLength) {
  std::string hashes;
  for (size_t at = 0; at < content.size(); at += static_cast<size_t>(pieceLength)) {
    uint8_t digest[20];
    Sha1::Hash(content.data() + at, std::min<size_t>(static_cast<size_t>(pieceLength), content.size() - at), digest);
    hashes.append(reinterpret_cast<const char*>(digest), 20);
  }
  return hashes;
}

inline std::string Content(size_t length, uint32_t seed = 1) {
  std::mt19937 gen(seed);
  std::string s(length, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// Info dictionary of a single-file torrent.
inline std::string SingleInfo(const std::string& name, int64_t length, int64_t pieceLength,
                              const std::string& hashes) {
  return "d6:lengthi" + std::to_string(length) + "e4:name" + Str(name) + "12:piece lengthi" +
         std::to_string(pieceLength) + "e6:pieces" + Str(hashes) + "e";
}

struct FileSpec {
  std::vector<std::string> path;
  int64_t length;
};

inline std::string MultiInfo(const std::string& name, const std::vector<FileSpec>& files,
                             int64_t pieceLength, const std::string& hashes) {
  std::string list = "l";
  for (const FileSpec& f : files) {
    list += "d6:lengthi" + std::to_string(f.length) + "e4:pathl";
    for (const std::string& c : f.path) list += Str(c);
    list += "ee";
  }
  list += "e";
  return "d5:files" + list + "4:name" + Str(name) + "12:piece lengthi" +
         std::to_string(pieceLength) + "e6:pieces" + Str(hashes) + "e";
}

inline std::unique_ptr<QElement> Parse(const std::string& text) {
  return ParseElement(text.c_str(), static_cast<int64_t>(text.size()));
}

// A task and its map of one file "f" holding `content`, saved in `folder`.
struct SingleFileMap {
  SingleFileMap(const std::string& folder, const std::string& content, int64_t pieceLength) {
    map.SetSaveDirectory(folder);
    const int64_t length = static_cast<int64_t>(content.size());
    loaded = map.LoadInfo(*Parse(SingleInfo("f", length, pieceLength, PieceHashes(content, pieceLength))));
  }
  // Hands over block k of `content`.
  void Give(const std::string& content, int64_t block) {
    const int64_t at = block * kBlockSize;
    const int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, content.size() - at));
    bool accepted;
    map.ReceiveBlock(block, length, reinterpret_cast<const uint8_t*>(content.data() + at), nullptr, &accepted);
  }

  FakeTask task;
  TPieces map{task};
  bool loaded = false;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

inline std::string ReadAll(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

}  // namespace bw::test
