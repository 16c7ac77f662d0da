#include "engine/frame/EngineClock.h"

#include "engine/frame/EngineLog.h"
#include "engine/frame/QTimeThread.h"
#include "engine/frame/RegistryLock.h"
#include "platform/Clock.h"

namespace bw {
namespace {

// Never destroyed: engine threads may read the clock while the process exits.
EngineTime& ProcessTime() {
  static EngineTime* time = new EngineTime;
  return *time;
}

QTimeThread* timer = nullptr;          // under the registry lock
std::atomic<bool> timerRunning{false};  // lets a clock read skip the lock

}  // namespace

void TimeEnsure() {
  if (timerRunning.load(std::memory_order_acquire)) return;
  QScopedLock guard(RegistryLock());
  if (!timer) {
    ProcessTime().clock.store(0);
    timer = new QTimeThread(ProcessTime());
  }
  timer->Start("TimeEnsure");
  timerRunning.store(timer->IsRunning(), std::memory_order_release);
}

uint64_t EngineClock() {
  TimeEnsure();
  const uint64_t clock = ProcessTime().clock.load(std::memory_order_acquire);
  return clock ? clock : platform::SystemTimeSeconds();
}

uint32_t EngineUptime() {
  TimeEnsure();
  return ReadEngineUptime();
}

uint32_t ReadEngineUptime() { return ProcessTime().uptime.load(std::memory_order_acquire); }

void StopTimeThread() {
  QTimeThread* stopping = nullptr;
  {
    QScopedLock guard(RegistryLock());
    stopping = timer;
    timer = nullptr;
    timerRunning.store(false, std::memory_order_release);
  }
  if (!stopping) return;
  stopping->Stop();
  LogWrite("Time Ensure Thread Stopped.. ", 22, 22);
  delete stopping;
}

}  // namespace bw
