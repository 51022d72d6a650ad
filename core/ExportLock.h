// The lock that serialises the core's exports that touch the session or the
// connection (InitializeCore, SendData, MakeSocketConnection,
// Init_SSL_Connect, ResetSerial) across host threads: a second thread waits
// until the first call has returned.
//
// The thread that holds it may take it again at once: a callback that the
// core runs under it may call any export. The reply worker takes it only
// around what it does with the host's callbacks and the connection after
// its wait (the read callback with the close that follows it, the
// time-notify event), and gives up waiting for it as soon as it is asked
// to stop. Every host path that releases the connection stops the worker
// before it joins it, so a host thread that holds the lock never waits for
// a worker that waits for the lock, and a worker inside a callback never
// waits for a host thread.
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
