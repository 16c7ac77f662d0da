#include "engine/storage/ParallelHasher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace bw {
namespace {

// Every job gets the digest of its own bytes, whatever the helpers and however often the hasher
// is used again; empty and odd-sized buffers included.
TEST(ParallelHasherTest, EachJobGetsTheDigestOfItsOwnBytes) {
  std::vector<uint8_t> bytes(1 << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const int64_t sizes[] = {0, 1, 55, 64, 16384, 65537, 262144};
  for (int helpers : {0, 1, 3}) {
    SCOPED_TRACE(helpers);
    ParallelHasher hasher(helpers);
    for (int round = 0; round < 50; ++round) {
      std::vector<ParallelHasher::Job> jobs;
      int64_t at = round;
      for (int i = 0; i <= round % 9; ++i) {
        const int64_t size = sizes[(round + i) % std::size(sizes)];
        jobs.push_back({bytes.data() + at, size, {}});
        at += size;
      }
      hasher.HashAll(jobs);
      for (const ParallelHasher::Job& job : jobs) {
        uint8_t expected[Sha1::kDigestSize];
        Sha1::Hash(job.data, static_cast<size_t>(job.size), expected);
        ASSERT_EQ(std::memcmp(job.digest, expected, sizeof expected), 0) << "round " << round << ", " << job.size << " bytes";
      }
    }
  }
}

}  // namespace
}  // namespace bw
