#pragma once
#include <cstdint>
#include <string>

namespace bw {

// Work states of a task.
constexpr int32_t kWorkStopped = 1;        // stopped or preparing
constexpr int32_t kWorkFetchingTorrent = 2;
constexpr int32_t kWorkPreparingPieces = 3;
constexpr int32_t kWorkRunning = 4;

// One status block. The task thread writes its working block; Publish copies it into the
// published block, which is all the reporting operations read.
struct TTaskStatus {
  int32_t workState = kWorkStopped;
  int32_t status = 0;
  std::string name;
  std::string text2;
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t wantedBytes = 0;
  uint64_t receivedBytes = 0;
  int32_t pieceCount = 0;
  int32_t verifiedPieces = 0;
  int32_t peerCount = 0;
  int32_t sourceCount = 0;
  uint64_t uploadedBytes = 0;
  uint64_t downloadedBytes = 0;
  uint64_t httpBytes = 0;
  uint64_t p2pBytes = 0;
  int32_t averageUploadRate = 0;
  int32_t averageDownloadRate = 0;
  int32_t smoothedRate = 0;
  int32_t remainingSeconds = 0;
  uint64_t completedAt = 0;  // engine clock when the content became complete, 0 = not complete
  uint8_t keepRunning = 1;

  void Reset() { *this = TTaskStatus(); }
};

}  // namespace bw
