#include "engine/frame/QTimeThread.h"

#include <chrono>

#include "platform/Clock.h"

namespace bw {

QTimeThread::QTimeThread(EngineTime& time, TickSource tick, SecondsSource now)
    : time_(time), tick_(tick ? tick : platform::TickCountMs), now_(now ? now : platform::SystemTimeSeconds) {}

QTimeThread::~QTimeThread() { Stop(); }

void QTimeThread::Run() {
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    woken_ = false;
  }
  Begin();
  while (!IsStopRequested()) {
    const uint32_t due = Advance();
    std::unique_lock<std::mutex> guard(wakeLock_);
    wake_.wait_for(guard, std::chrono::milliseconds(due), [this] { return woken_; });
  }
}

void QTimeThread::OnStopRequested() {
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    woken_ = true;
  }
  wake_.notify_all();
}

void QTimeThread::Begin() {
  t0_ = tick_();
  if (time_.clock.load() == 0) time_.clock.store(now_());
  c0_ = time_.clock.load();
  u0_ = time_.uptime.load();
}

uint32_t QTimeThread::Advance() {
  const uint32_t t = tick_();
  if (t < t0_) {
    // The counter wrapped: the time since the last reading is unknown, so count one second.
    t0_ = t;
    c0_ = time_.clock.load() + 1;
    u0_ = time_.uptime.load() + 1;
    time_.clock.store(c0_);
    time_.uptime.store(u0_);
    return 1000;
  }
  const uint32_t seconds = (t - t0_) / 1000;
  time_.clock.store(c0_ + seconds);
  time_.uptime.store(u0_ + seconds);
  // A millisecond late rather than early: a wake just before the second would be wasted.
  return 1000 - (t - t0_) % 1000 + 1;
}

}  // namespace bw
