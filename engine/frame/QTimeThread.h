#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/frame/QThread.h"

namespace bw {

// The engine's time base: clock in wall-clock seconds, uptime in seconds since the timer began.
// Written only by the timer thread; everyone else just loads them.
struct EngineTime {
  std::atomic<uint64_t> clock{0};
  std::atomic<uint32_t> uptime{1};
};

// Keeps an EngineTime moving with the millisecond tick counter, measured from the values at its
// start so that no rounding error accumulates. It wakes only when the next second is due, or to
// stop.
class QTimeThread : public QThread {
 public:
  using TickSource = uint32_t (*)();
  using SecondsSource = uint64_t (*)();

  explicit QTimeThread(EngineTime& time, TickSource tick = nullptr, SecondsSource now = nullptr);
  ~QTimeThread() override;

  void Run() override;

  // The loop body, apart for tests that drive the tick themselves: Begin takes the base values,
  // Advance takes one reading and tells the milliseconds until the next second is due.
  void Begin();
  uint32_t Advance();

 protected:
  void OnStopRequested() override;

 private:
  EngineTime& time_;
  TickSource tick_;
  SecondsSource now_;
  uint32_t t0_ = 0;
  uint64_t c0_ = 0;
  uint32_t u0_ = 0;
  std::mutex wakeLock_;
  std::condition_variable wake_;
  bool woken_ = false;  // under wakeLock_
};

}  // namespace bw
