#include "engine/task/TRateMeter.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace bw {
namespace {

// Bytes in one second above which a rate class starts, fastest first, with its pipeline.
struct RateStep {
  int64_t above;
  int32_t pipeline;
};
constexpr RateStep kRateSteps[] = {{3145728, 14}, {1536000, 9}, {819200, 7}, {307200, 6}};
constexpr int32_t kSlowestPipeline = 5;
constexpr int32_t kFullUploadTicks = 18;  // slow uploaders may run once the second is this old
constexpr int64_t kMinDemand = 8192;      // a task asks for at least this much of a shared limit
constexpr int64_t kLeftoverBonus = 16;

}  // namespace

void TRateMeter::Reset() { *this = TRateMeter(); }

TRateMeter::Second TRateMeter::CloseSecond(bool complete) {
  const Second second{complete ? received_ : written_, sent_};
  smoothed_ = complete ? 0 : (3 * received_ + smoothed_) / 4;
  rateClass_ = RateClassOf(complete ? sent_ : written_);
  pipeline_ = rateClass_ == kSlowestClass ? kSlowestPipeline : kRateSteps[rateClass_ - 1].pipeline;
  uploadPipeline_ = 3 * pipeline_;
  received_ = written_ = sent_ = 0;
  return second;
}

bool TRateMeter::RunsDownload(int64_t peerRate, bool fullStep) const {
  return fullStep || peerRate > kFastPeerRate || ticks_ % pipeline_ == 0;
}

bool TRateMeter::RunsUpload(int64_t peerRate, int32_t extraUploads) const {
  if (peerRate > kFastPeerRate) return true;
  return ticks_ % uploadPipeline_ == 0 && (extraUploads > 0 || ticks_ >= kFullUploadTicks);
}

int64_t TRateMeter::Budget(int32_t limitKiB, int64_t share) {
  const int64_t bytes = static_cast<int64_t>(limitKiB) * 1024;
  const int64_t own = bytes > 0 && bytes <= std::numeric_limits<int32_t>::max() ? bytes : kUnlimited;
  return std::max(std::min(own, share > 0 ? share : kUnlimited), kMinBudget);
}

int32_t TRateMeter::RateClassOf(int64_t bytesInSecond) {
  int32_t rateClass = 1;
  for (const RateStep& step : kRateSteps) {
    if (bytesInSecond > step.above) return rateClass;
    ++rateClass;
  }
  return kSlowestClass;
}

int32_t TRateMeter::ExtraUploads(int64_t sentLastSecond, int32_t uploadSlots) {
  return sentLastSecond / 8192 < uploadSlots ? std::max(uploadSlots / 6, 1) : 0;
}

int32_t TRateMeter::MaxConnections(int64_t downRate, int64_t upRate) {
  // Kept inside the range the settings accept, so normalising does not undo it.
  const int64_t wanted = std::max<int64_t>((downRate + upRate) / 4096 + 8, 52);
  return static_cast<int32_t>(std::min<int64_t>(wanted, 20480));
}

int32_t TRateMeter::UploadSlots(int64_t upRate) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(upRate / 8192 - 8, 8), 20));
}

int64_t TRateMeter::RemainingSeconds(int64_t pieceLength, int64_t missingPieces, int64_t rate) {
  if (rate < 1024 || pieceLength <= 0 || missingPieces <= 0) return 0;
  return pieceLength * missingPieces / rate;
}

int64_t TRateMeter::Average(uint64_t total, int64_t seconds) {
  return static_cast<int64_t>(total / static_cast<uint64_t>(std::max<int64_t>(seconds, 1)));
}

int64_t TRateMeter::PercentOf(int64_t part, int64_t other) {
  const int64_t sum = part + other;
  return sum > 0 ? part * 100 / sum : 0;
}

std::vector<int64_t> TRateMeter::ShareOut(int64_t limit, const std::vector<int64_t>& used) {
  // Without a process-wide limit there is nothing to share: a task that was idle in the last
  // period would otherwise be held to a sliver of an unlimited rate.
  if (limit <= 0) return std::vector<int64_t>(used.size(), 0);
  const int64_t room = limit;
  const auto count = static_cast<int64_t>(used.size());
  std::vector<int64_t> demand(used.size());
  std::transform(used.begin(), used.end(), demand.begin(),
                 [](int64_t bytes) { return std::max(bytes, kMinDemand) / 1024; });
  const int64_t demanded = std::max<int64_t>(std::accumulate(demand.begin(), demand.end(), int64_t{0}), 1);
  const int64_t perKiB = std::max(room - kMinBudget, count * kMinBudget) / demanded;
  std::vector<int64_t> shares(used.size());
  for (size_t i = 0; i < used.size(); ++i) shares[i] = std::max(perKiB * demand[i], kMinBudget);
  // What rounding left over goes to the tasks that used all they had, and to the last one.
  int64_t total = std::accumulate(shares.begin(), shares.end(), int64_t{0});
  for (size_t i = 0; i < shares.size() && total < room; ++i) {
    if (i + 1 < shares.size() && used[i] < shares[i]) continue;
    const int64_t more = (room - total) / 2 + kLeftoverBonus;
    shares[i] += more;
    total += more;
  }
  return shares;
}

}  // namespace bw
