// A two-file torrent on disk stopped half-way, shared by the resume-record and pending-block
// targets: piece 0 complete, piece 1 with a hashed prefix and one block held in memory.
#pragma once
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "engine/common/Sha1.h"
#include "engine/storage/IPiecesTask.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPieces.h"

namespace fuzzfixture {

constexpr int64_t kPiece = 256 * 1024;
constexpr int64_t kA = 300000, kB = 200000;
inline const std::string kDir = "/tmp/bw-fuzz-storage/";
inline const uint8_t kHash[20] = {7, 7, 7};

class Task : public bw::IPiecesTask {
 public:
  void OnPiecesEvent(const bw::TPiecesEvent& e) override {
    if (e.type == bw::TPiecesEvent::kResumeRecord && e.size > 0) record.assign(static_cast<const char*>(e.data), e.size);
  }
  bool StopRequested() override { return false; }
  int64_t Clock() override { return now; }
  bool MetadataLoaded() override { return true; }
  void ReportEvent(const char*, const std::string&) override {}
  std::string record;
  int64_t now = 100000;
};

inline std::string Content() {
  std::string s(kA + kB, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 2654435761u >> 13);
  return s;
}

inline std::unique_ptr<bw::QElement> Info() {
  static const std::string text = [] {
    const std::string content = Content();
    std::string hashes;
    for (int64_t at = 0; at < kA + kB; at += kPiece) {
      uint8_t digest[20];
      bw::Sha1::Hash(content.data() + at, std::min<int64_t>(kPiece, kA + kB - at), digest);
      hashes.append(reinterpret_cast<char*>(digest), 20);
    }
    return "d5:filesld6:lengthi" + std::to_string(kA) + "e4:pathl5:a.bineed6:lengthi" +
           std::to_string(kB) + "e4:pathl5:b.bineee4:name4:pack12:piece lengthi" +
           std::to_string(kPiece) + "e6:pieces40:" + hashes + "e";
  }();
  return bw::ParseElement(text.data(), static_cast<int64_t>(text.size()));
}

inline void Prepare(bw::TPieces& map, const std::string& pendingPath) {
  map.SetSaveDirectory(kDir);
  map.SetPendingPath(pendingPath);
  map.SetUseResume(true);
  map.SetInfoHash(kHash);
  map.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 40; });
}

// Writes the files and stops a run half-way; returns its resume record and leaves its pending
// blocks at pendingPath.
inline std::string StopHalfWay(const std::string& pendingPath) {
  std::filesystem::remove_all(kDir);
  std::filesystem::create_directories(kDir + "pack");
  std::string content = Content();
  std::ofstream(kDir + "pack/a.bin.bwtmp", std::ios::binary) << content.substr(0, kA);
  std::ofstream(kDir + "pack/b.bin.bwtmp", std::ios::binary) << content.substr(kA, kB - 1) << '!';
  Task task;
  bw::TPieces map(task);
  Prepare(map, pendingPath);
  map.LoadInfo(*Info());
  bool accepted;
  for (int64_t at = kPiece; at < kPiece + 9 * 16384; at += 16384) {
    map.ReceiveBlock(at / 16384, 16384, reinterpret_cast<const uint8_t*>(content.data() + at), nullptr, &accepted);
  }
  task.now += 3600;
  map.MaintainCache();
  map.CloseFiles(true, false);
  map.SavePendingBlocks();
  return task.record;
}

// Writes `bytes` as a seed file when BW_FUZZ_WRITE_SEEDS names a folder.
inline void WriteSeed(const std::string& name, const std::string& bytes) {
  if (const char* folder = std::getenv("BW_FUZZ_WRITE_SEEDS")) {
    std::ofstream(std::string(folder) + "/" + name, std::ios::binary) << bytes;
  }
}

}  // namespace fuzzfixture
