#include "engine/storage/TPieceWriter.h"

#include <utility>

namespace bw {

void TPieceWriter::Queue(int32_t index, int64_t bytes, Write write) {
  OrderedWorkQueue::Queue(index, bytes, [index, write = std::move(write)] {
    int error = 0;
    const int64_t written = write(&error);
    return Done{index, written, error};
  });
}

std::vector<TPieceWriter::Done> TPieceWriter::Settle() {
  std::vector<Done> done;
  for (Done next{}; TakeOldest(&next);) done.push_back(next);
  return done;
}

}  // namespace bw
