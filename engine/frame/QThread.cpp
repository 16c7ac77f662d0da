#include "engine/frame/QThread.h"

#include "engine/frame/EngineClock.h"
#include "platform/Thread.h"

namespace bw {
namespace {

constexpr int kStopPollMs = 1;

}  // namespace

QThread::~QThread() { Stop(); }

int QThread::SleepSeconds(int n) {
  while (n > 0 && !stopRequested_.load(std::memory_order_acquire)) {
    platform::SleepMs(1000);
    --n;
  }
  return n;
}

void QThread::OnThreadEvent(int) {}

bool QThread::Start(const char*, std::unique_ptr<QThreadContext> context) {
  QScopedLock guard(lock);
  if (Running()) return false;
  context_.reset();
  stopRequested_ = false;
  pauseRequested_ = false;
  started_ = false;
  threadId_ = 0;
  startedAt_ = 0;
  ++startCount_;
  starting_ = true;
  uint32_t id = 0;
  bool began = false;
  if (platform::StartDetachedThread(&QThread::Entry, this, &id)) {
    threadId_.store(id, std::memory_order_release);
    context_ = std::move(context);
    // Polled briefly: a caller that sets a limit right after the start must get in before the
    // new thread's first real work (it sleeps 5 ms first).
    while (!started_ && ThreadId() == id) {
      lock.Unlock();
      platform::SleepMs(1);
      lock.Lock();
    }
    // A short run may already have ended (and cleared its id) by now: it still started.
    began = started_ || ThreadId() != id;
  }
  starting_ = false;
  return began;
}

bool QThread::Stop() {
  QScopedLock guard(lock);
  if (!Running()) return true;
  const uint32_t id = ThreadId();
  if (id == platform::CurrentThreadId()) return false;
  stopRequested_ = true;
  OnStopRequested();
  while (Running() && ThreadId() == id) {
    lock.Unlock();
    // A thread asked to stop mostly ends within a millisecond or two: a coarser poll would hold
    // every stop (and the engine's shutdown) back by most of its period.
    platform::SleepMs(kStopPollMs);
    lock.Lock();
  }
  if (ThreadId() == id) ClearThreadState();
  return true;
}

bool QThread::OnOwnThread() const { return !Running() || ThreadId() == platform::CurrentThreadId(); }

bool QThread::IsRunning() {
  QScopedLock guard(lock);
  return Running();
}

bool QThread::IsStopRequested() {
  // Without the lock: the thread may hold its own lock here, and SetPause(false) needs it.
  while (pauseRequested_.load(std::memory_order_acquire) && !stopRequested_.load(std::memory_order_acquire) &&
         Running()) {
    platform::SleepMs(1000);
  }
  return stopRequested_.load(std::memory_order_acquire);
}

bool QThread::SignalStop(uint32_t* threadId) {
  QScopedLock guard(lock);
  if (threadId) *threadId = ThreadId();
  if (!Running()) return false;
  stopRequested_ = true;
  OnStopRequested();
  return true;
}

bool QThread::HasEnded(uint32_t threadId) {
  QScopedLock guard(lock);
  if (Running() && ThreadId() == threadId) return false;
  if (ThreadId() == threadId) ClearThreadState();
  return true;
}

void QThread::SetPause(bool pause) {
  QScopedLock guard(lock);
  pauseRequested_ = Running() && pause;
}

void QThread::ClearThreadState() {
  context_.reset();
  threadId_ = 0;
  started_ = false;
}

void QThread::Entry(void* arg) {
  auto* self = static_cast<QThread*>(arg);
  const uint32_t me = platform::CurrentThreadId();
  int32_t run = 0;
  bool stopEarly = false;
  {
    QScopedLock guard(self->lock);
    if (self->ThreadId() != me) return;
    run = self->StartCount();
    self->started_ = true;
    self->startedAt_ = ReadEngineUptime();
    stopEarly = self->stopRequested_;
  }
  platform::SleepMs(5);
  bool threw = false;
  if (!stopEarly) {
    try {
      self->Run();
    } catch (...) {
      threw = true;
    }
  }
  // A Run that threw may have left its own lock held.
  if (threw) {
    while (self->lock.Unlock()) {
    }
  }
  // Once the state is cleared a waiting Stop may destroy the object: nothing below touches it
  // unless it is ours to delete.
  bool cleared = false;
  for (;;) {
    self->lock.Lock();
    if (!cleared) {
      if (self->StartCount() == run && self->ThreadId() == me) self->ClearThreadState();
      cleared = true;
    }
    if (!self->deleteOnExit) {
      self->lock.Unlock();
      return;
    }
    if (!self->starting_) {
      self->deleteOnExit = false;
      self->lock.Unlock();
      delete self;
      return;
    }
    self->lock.Unlock();
    platform::SleepMs(5);
  }
}

}  // namespace bw
