#pragma once
#include <cstdint>

#include "engine/common/TRef.h"
#include "engine/sources/TPeerId.h"

namespace bw {

class TPeerObject;

// A run of pieces claimed by a URL source; one worker at a time walks it from next to last.
class TPieceRange {
 public:
  // Holds a reference on the owner.
  explicit TPieceRange(TPeerId* owner, int32_t first = -1, int32_t last = -1);
  TPieceRange(const TPieceRange&) = delete;
  TPieceRange& operator=(const TPieceRange&) = delete;

  bool Contains(int64_t piece) const { return piece >= first && piece <= last; }
  TPeerId* Owner() const { return owner_.get(); }

  int32_t first = -1;
  int32_t last = -1;
  int32_t next = -1;
  uint32_t blockCounter = 0;
  bool exhausted = false;
  bool rescan = false;
  bool abandoned = false;
  TPeerObject* worker = nullptr;
  uint64_t assignedAt = 0;

 private:
  TRef<TPeerId> owner_;
};

}  // namespace bw
