#include "engine/frame/QTimeThread.h"

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace bw {

QTimeThread::QTimeThread(EngineTime& time, TickSource tick, SecondsSource now)
    : time_(time), tick_(tick ? tick : platform::TickCountMs), now_(now ? now : platform::SystemTimeSeconds) {}

QTimeThread::~QTimeThread() { Stop(); }

void QTimeThread::Run() {
  Begin();
  while (!IsStopRequested()) {
    Advance();
    for (int i = 0; i < 10 && !IsStopRequested(); ++i) platform::SleepMs(100);
  }
}

void QTimeThread::Begin() {
  t0_ = tick_();
  if (time_.clock.load() == 0) time_.clock.store(now_());
  c0_ = time_.clock.load();
  u0_ = time_.uptime.load();
}

void QTimeThread::Advance() {
  const uint32_t t = tick_();
  if (t < t0_) {
    // The counter wrapped: the time since the last reading is unknown, so count one second.
    t0_ = t;
    c0_ = time_.clock.load() + 1;
    u0_ = time_.uptime.load() + 1;
    time_.clock.store(c0_);
    time_.uptime.store(u0_);
    return;
  }
  const uint32_t seconds = (t - t0_) / 1000;
  time_.clock.store(c0_ + seconds);
  time_.uptime.store(u0_ + seconds);
}

}  // namespace bw
