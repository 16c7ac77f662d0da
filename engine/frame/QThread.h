#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/frame/QTMutex.h"

namespace bw {

// An object handed to QThread::Start and owned by that run: destroyed when the run ends or the
// start fails.
class QThreadContext {
 public:
  virtual ~QThreadContext() = default;
};

// A thread object that starts and stops its OS thread in a controlled way. Waits poll with short
// sleeps. The lock guards the thread state and doubles as the owning object's lock.
class QThread {
 public:
  QThread() = default;
  // Stops the thread; a class whose Run uses its own members must stop it in its own destructor.
  virtual ~QThread();
  QThread(const QThread&) = delete;
  QThread& operator=(const QThread&) = delete;

  virtual void Run() = 0;
  // Sleeps one second at a time, n times, leaving early on a stop request; returns the count left.
  virtual int SleepSeconds(int n);
  virtual void OnThreadEvent(int argument);

  // false when the thread already runs or could not be created (the context is then destroyed).
  bool Start(const char* name, std::unique_ptr<QThreadContext> context = nullptr);
  // Requests a stop and waits for the thread to end; false only when called from the thread itself.
  bool Stop();
  bool IsRunning();
  // Blocks while a pause is requested, so a paused loop stands still at its next check.
  bool IsStopRequested();
  // Stops many threads in parallel: SignalStop on each (reports the id), then poll HasEnded.
  bool SignalStop(uint32_t* threadId);
  bool HasEnded(uint32_t threadId);
  void SetPause(bool pause);

  uint32_t ThreadId() const { return threadId_.load(std::memory_order_acquire); }
  // True on this object's thread, or while it runs none: what debug checks of work that belongs
  // to the thread ask.
  bool OnOwnThread() const;
  uint32_t StartedAt() const { return startedAt_.load(std::memory_order_acquire); }
  int32_t StartCount() const { return startCount_.load(std::memory_order_acquire); }

  QTMutex lock;
  // Set by the owner before Start: the thread then destroys the object when it ends.
  bool deleteOnExit = false;  // under lock once the thread runs
  std::string name;

 protected:
  QThreadContext* Context() const { return context_.get(); }  // valid while the run lasts
  // Called once a stop is requested (under the lock): a run that waits on something of its own
  // wakes up here.
  virtual void OnStopRequested() {}

 private:
  static void Entry(void* self);
  bool Running() const { return ThreadId() != 0 && started_.load(std::memory_order_acquire); }
  void ClearThreadState();

  std::unique_ptr<QThreadContext> context_;
  std::atomic<uint32_t> threadId_{0};
  std::atomic<bool> started_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> pauseRequested_{false};
  std::atomic<uint32_t> startedAt_{0};
  std::atomic<int32_t> startCount_{0};
  bool starting_ = false;  // a Start is waiting for the thread: it must not delete itself yet
};

}  // namespace bw
