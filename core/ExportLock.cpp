#include "ExportLock.h"

#include <new>

namespace tamlix::core {

void TExportLock::Lock() {
  static const std::atomic<bool> never{false};
  LockUnlessStopped(never);
}

bool TExportLock::LockUnlessStopped(const std::atomic<bool>& stop) {
  const std::thread::id me = std::this_thread::get_id();
  TMutexLock lock(mutex_);
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return true;
  }
  while (depth_ != 0 && !stop.load(std::memory_order_acquire)) free_.Wait(mutex_);
  if (stop.load(std::memory_order_acquire)) return false;
  owner_ = me;
  depth_ = 1;
  return true;
}

void TExportLock::Unlock() noexcept {
  {
    TMutexLock lock(mutex_);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
  }
  free_.NotifyAll();
}

bool TExportLock::HeldByCaller() noexcept {
  TMutexLock lock(mutex_);
  return depth_ > 0 && owner_ == std::this_thread::get_id();
}

void TExportLock::WakeWaiters() noexcept {
  { TMutexLock lock(mutex_); }
  free_.NotifyAll();
}

int TExportLock::ResetInChild(TExportLock& lock) noexcept {
  // Read without the mutex: only the owner changes these while it holds
  // the lock, and a hold of ours means we are the owner.
  const std::thread::id me = std::this_thread::get_id();
  const int mine = lock.depth_ > 0 && lock.owner_ == me ? lock.depth_ : 0;
  new (&lock) TExportLock();
  if (mine > 0) {
    lock.owner_ = me;
    lock.depth_ = mine;
  }
  return mine;
}

TExportLock CoreExportLock;

}  // namespace tamlix::core
