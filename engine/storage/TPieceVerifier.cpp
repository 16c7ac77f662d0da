#include "engine/storage/TPieceVerifier.h"

#include <cstring>
#include <utility>

namespace bw {

void TPieceVerifier::HandOver(Job job) {
  const int32_t index = job.index;
  int64_t bytes = 0;
  for (const Run& run : job.runs) bytes += run.length;
  Queue(index, bytes, [job = std::move(job)] { return Verdict{job.index, Verify(job)}; });
}

bool TPieceVerifier::Verify(const Job& job) {
  Sha1 sha;
  if (job.fromState && !sha.ImportState(job.state, Sha1::kStateSize)) return false;
  for (const Run& run : job.runs) {
    if (sha.Input(run.data, static_cast<size_t>(run.length)) != Sha1::kSuccess) return false;
  }
  uint8_t digest[Sha1::kDigestSize];
  return sha.Result(digest) == Sha1::kSuccess && std::memcmp(digest, job.expected, sizeof digest) == 0;
}

}  // namespace bw
