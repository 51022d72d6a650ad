#include "ExportLock.h"

namespace tamlix::core {

void TExportLock::Lock() {
  static const std::atomic<bool> never{false};
  LockUnlessStopped(never);
}

bool TExportLock::LockUnlessStopped(const std::atomic<bool>& stop) {
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return true;
  }
  free_.wait(lock, [&] { return depth_ == 0 || stop.load(std::memory_order_acquire); });
  if (stop.load(std::memory_order_acquire)) return false;
  owner_ = me;
  depth_ = 1;
  return true;
}

void TExportLock::Unlock() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
  }
  free_.notify_all();
}

void TExportLock::WakeWaiters() noexcept {
  { std::lock_guard<std::mutex> lock(mutex_); }
  free_.notify_all();
}

}  // namespace tamlix::core
