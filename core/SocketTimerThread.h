// The reply worker: one thread per sent request that waits for the reply
// with the session's time-out, reads it once and hands it to the read
// callback (then closes the connection), or calls the time-notify event.
//
// A worker is owned by Core().CurrentWorker (or RetiredWorkers) and is
// joined by whoever takes it from there; it never frees itself. A stop
// request wakes a waiting worker, which then ends quietly: no callback, no
// time-notify, the connection left to whoever stopped it. The callbacks,
// and the close after a reply, run under the export lock (ExportLock.h),
// which the worker stops waiting for when it is stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace tamlix::core {

class TSocketTimerThread {
 public:
  explicit TSocketTimerThread(int32_t frequency);
  virtual ~TSocketTimerThread();
  TSocketTimerThread(const TSocketTimerThread&) = delete;
  TSocketTimerThread& operator=(const TSocketTimerThread&) = delete;

  // Runs Execute on a new thread.
  void Start();
  // The stop request: marks the worker and wakes it; returns at once.
  void Terminate() noexcept;
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // Waits for the thread to end. Not from the worker's own thread.
  void Join() noexcept;
  unsigned long Handle() const noexcept;

  int32_t Frequency;

  // The worker running on the calling thread, or null.
  static TSocketTimerThread* Self() noexcept;

 protected:
  virtual void Execute();
  virtual void CallReadFromSocket();

 private:
  void Run() noexcept;
  // Takes the export lock for a callback; false, without it, when stopped
  // before or while waiting for it.
  bool LockForCallbacks();
  // The time-notify event, when set, under the export lock.
  void NotifyTimeOut();
  // Takes the reply buffers; false when stopped while waiting for them.
  bool AcquireBuffers();
  void ReleaseBuffers() noexcept;

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  // eventfd that a stop request makes readable; -1 when none could be made,
  // and the wait then looks at the stop request between short spells.
  int wake_fd_ = -1;
};

// Creates and starts a worker and makes it the current one. A previous
// current worker is kept for joining.
TSocketTimerThread* InitializeTimerThread(int32_t Frequency);

// The stop request of the current worker, without waiting.
void RequestWorkerStop() noexcept;

// Before the connection is released: stops the current worker and joins
// it, with every retired one. On a worker's own thread that worker is only
// marked (it ends after its caller returns) and kept for a later join.
void StopWorkersForClose();

// At unload: stops and joins every worker but the calling thread's own.
void StopAndJoinAllWorkers() noexcept;

// Waits for every worker to end by itself (no stop request) and drops it.
void JoinWorkersForTesting() noexcept;

}  // namespace tamlix::core
