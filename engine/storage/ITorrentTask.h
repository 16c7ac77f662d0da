#pragma once
#include <cstdint>

namespace bw {

// What the torrent metadata reports to the task that loads it.
class ITorrentTask {
 public:
  static constexpr int32_t kStateLoading = 3;
  static constexpr int32_t kStateLoaded = 4;
  static constexpr int32_t kErrorTorrentUnreadable = 20211;

  virtual void SetWorkState(int32_t state) = 0;
  // Records the error and asks the task to stop.
  virtual void StopWithError(int32_t error) = 0;

 protected:
  ~ITorrentTask() = default;
};

}  // namespace bw
