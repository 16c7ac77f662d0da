#include "engine/task/UrlConnectionTarget.h"

#include <algorithm>

namespace bw {

int32_t UrlConnectionTarget(const UrlConnectionFacts& f) {
  const int32_t least = std::max(f.least, 1);
  const int32_t most = std::max(f.allowance, least);
  const int32_t stay = std::max(least, std::min(f.active, most));
  // Nothing shown yet, nothing delivered, a fast connection, or a step that has not shown itself.
  if (f.settled == 0 || f.rate <= 0 || f.fast > 0 || f.settled < f.active) return stay;
  if (f.stepFrom > 0 && f.active > f.stepFrom) {
    const int64_t promised = f.stepRate / f.stepFrom * (f.active - f.stepFrom);
    if (f.rate - f.stepRate < promised / 2) return stay;
  }
  return std::max(stay, std::min(most, f.active * kConnectionStep));
}

}  // namespace bw
