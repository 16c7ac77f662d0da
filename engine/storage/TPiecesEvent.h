#pragma once
#include <cstdint>

namespace bw {

// How the piece map reports a change to its task. For types 1, 4 and 100 data points at the
// 4-byte piece index or count; for 1000 and 1001 at the bytes handed over.
struct TPiecesEvent {
  enum Type : int32_t {
    kPieceState = 1,
    kWholeBitfield = 2,
    kCheck = 3,
    kPieceFailed = 4,  // a piece failed its check: it is wanted again
    kPiecesBuilt = 100,
    kFileSelection = 1000,
    kResumeRecord = 1001,
    kWaitingForDisk = 1002,
    kDiskAvailable = 1003,
    kFileFailed = 1004,
  };

  int32_t type = 0;
  int32_t value = 0;
  int32_t size = 0;
  const void* data = nullptr;
};

}  // namespace bw
