// The reply worker: one thread per sent request that waits for the reply
// with the session's time-out, reads it once and hands it to the read
// callback (then closes the connection), or calls the time-notify event.
//
// A worker is owned by Core().CurrentWorker (or RetiredWorkers) and is
// joined by whoever takes it from there once it has ended; it never frees
// itself. A stop request wakes a waiting worker, which then ends quietly:
// no callback, no time-notify, the connection left to whoever stopped it.
//
// The worker uses the connection without the export lock (ExportLock.h)
// only from its start until it has read (or given up): then it leaves the
// connection, and a close on another thread waits for no more than that.
// The callbacks run without the lock, so they may call any export, and a
// host thread inside an export never waits for a callback; the close after
// a reply takes the lock, unless the worker is stopped first.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "ExportLock.h"

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
  // True once the worker no longer touches the connection without the
  // export lock. Set under Core().WorkerMutex, with WorkerChanged notified.
  bool OffConnection() const noexcept { return off_connection_.load(std::memory_order_acquire); }
  // True once its body has returned: a join no longer waits. Set like
  // OffConnection.
  bool Ended() const noexcept { return done_.load(std::memory_order_acquire); }
  // In a forked child, for the worker whose thread forked (from a
  // callback): it belongs to no list of the child's fresh state, and
  // whatever it would still do to the connection is given up.
  void GiveUpInChild() noexcept { terminated_.store(true, std::memory_order_release); }

  int32_t Frequency;

  // The worker running on the calling thread, or null.
  static TSocketTimerThread* Self() noexcept;

 protected:
  virtual void Execute();
  virtual void CallReadFromSocket();

 private:
  void Run() noexcept;
  // Marks the worker as done with the connection and wakes closes that
  // wait for it. Idempotent.
  void LeaveConnection() noexcept;
  // Takes the export lock for the close after a reply; false, without it,
  // when stopped before or while waiting for it.
  bool LockForClose() TRY_ACQUIRE(true, CoreExportLock);
  // Leaves the connection, then calls the time-notify event unless stopped.
  void NotifyTimeOut();
  // Takes the reply buffers; false when stopped while waiting for them.
  bool AcquireBuffers();
  void ReleaseBuffers() noexcept;

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> off_connection_{false};
  std::atomic<bool> done_{false};  // Run has returned
  // eventfd that a stop request makes readable; -1 when none could be made,
  // and the wait then looks at the stop request between short spells.
  int wake_fd_ = -1;
};

// Creates and starts a worker and makes it the current one. A previous
// current worker is kept for joining.
TSocketTimerThread* InitializeTimerThread(int32_t Frequency);

// In a forked child whose forking thread is a worker (a callback forked):
// that worker gives up what it would still do.
void GiveUpCallingWorkerInChild() noexcept;

// The stop request of the current worker, without waiting.
void RequestWorkerStop() noexcept;

// Before the connection is released: stops every worker and waits until
// each (but the calling thread's own) has left the connection; joins those
// that have ended, and keeps the rest (inside a callback) for a later join.
void StopWorkersForClose();

// At unload: stops and joins every worker but the calling thread's own,
// waiting for a callback in progress, until none is left (a callback's
// SendData may start one while this runs).
void StopAndJoinAllWorkers() noexcept;

// The stop request of every worker, without waiting for any.
void RequestAllWorkersStop() noexcept;

// Waits for every worker to end by itself (no stop request) and drops it.
void JoinWorkersForTesting() noexcept;

}  // namespace tamlix::core
