// The lock that serialises the core's exports that touch the session or the
// connection (InitializeCore, SendData, MakeSocketConnection,
// Init_SSL_Connect, ResetSerial) across threads: a second caller waits
// until the first call has returned.
//
// The thread that holds it may take it again at once: a callback that an
// export runs on its own thread (ResetSerial's) may call any export. The
// reply worker holds it only for its close after a reply, and gives up
// waiting for it as soon as it is asked to stop. It runs the host's
// callbacks without it, so an export called from a callback waits like any
// other caller, and a thread inside an export never waits for a callback
// (see SocketTimerThread.h): neither side ever waits for the other.
#pragma once

#include <atomic>
#include <thread>

#include "CoreMutex.h"

namespace tamlix::core {

class CAPABILITY("export lock") TExportLock {
 public:
  // Host threads: waits as long as another thread holds it.
  void Lock() ACQUIRE();
  // The reply worker: false, without the lock, once `stop` is set.
  bool LockUnlessStopped(const std::atomic<bool>& stop) TRY_ACQUIRE(true);
  void Unlock() noexcept RELEASE();
  // Wakes the threads waiting in LockUnlessStopped to look at their stop
  // request again; call after setting one.
  void WakeWaiters() noexcept;
  // True when the calling thread holds it (it is inside an export).
  bool HeldByCaller() noexcept;
  // For code that the analysis cannot follow to a holder (the export table's
  // bodies, which run under TExportLockHold).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

  // In a forked child: makes `lock` afresh. The forking thread keeps as
  // many holds as it had (it may fork from a callback inside an export);
  // nobody else holds it, whatever the parent's other threads did.
  // Returns those holds: the forking thread's calls still inside exports
  // (every export that may call back into the host holds the lock).
  static int ResetInChild(TExportLock& lock) noexcept NO_THREAD_SAFETY_ANALYSIS;

 private:
  TMutex mutex_;
  TCondVar free_;
  std::thread::id owner_ GUARDED_BY(mutex_);
  int depth_ GUARDED_BY(mutex_) = 0;
};

// The core's one export lock. It lives outside the core's state and is
// never destroyed: a thread may still wait on it at process exit.
extern TExportLock CoreExportLock;

// Holds a TExportLock (taken by Lock) for its lifetime.
class SCOPED_CAPABILITY TExportLockHold {
 public:
  explicit TExportLockHold(TExportLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~TExportLockHold() RELEASE() { lock_.Unlock(); }
  TExportLockHold(const TExportLockHold&) = delete;
  TExportLockHold& operator=(const TExportLockHold&) = delete;

 private:
  TExportLock& lock_;
};

}  // namespace tamlix::core
