#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace bw {

// Where a task loop waits while nothing is due: a wait that an outside request (a stop, a read of
// the data, a new limit) ends at once instead of at the next due time.
class TLoopRest {
 public:
  // Waits up to ms, or until Wake, or until keepResting (asked every quarter second) says no.
  void Rest(uint32_t ms, const std::function<bool()>& keepResting);
  void Wake();

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  bool wakePending_ = false;
};

}  // namespace bw
