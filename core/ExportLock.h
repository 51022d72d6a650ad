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
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tamlix::core {

class TExportLock {
 public:
  // Host threads: waits as long as another thread holds it.
  void Lock();
  // The reply worker: false, without the lock, once `stop` is set.
  bool LockUnlessStopped(const std::atomic<bool>& stop);
  void Unlock() noexcept;
  // Wakes the threads waiting in LockUnlessStopped to look at their stop
  // request again; call after setting one.
  void WakeWaiters() noexcept;

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  std::thread::id owner_;  // guarded by mutex_
  int depth_ = 0;          // guarded by mutex_
};

// Holds a TExportLock (taken by Lock) for its lifetime.
class TExportLockHold {
 public:
  explicit TExportLockHold(TExportLock& lock) : lock_(lock) { lock_.Lock(); }
  ~TExportLockHold() { lock_.Unlock(); }
  TExportLockHold(const TExportLockHold&) = delete;
  TExportLockHold& operator=(const TExportLockHold&) = delete;

 private:
  TExportLock& lock_;
};

}  // namespace tamlix::core
