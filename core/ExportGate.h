// The door of the export table. Every export that touches the core's state
// comes in through it, and the unload closes it: a call that arrives after
// that fails at once and touches nothing. What the unload may free depends
// on whether any thread is still inside (TCoreState, CoreState.h).
//
// It lives outside the state and has no destructor, so it stays usable
// until the library's memory goes, also at process exit.
#pragma once

#include <atomic>
#include <cstdint>

namespace tamlix::core {

class TExportGate {
 public:
  // False, touching nothing, once closed; otherwise the thread is inside
  // until Leave.
  bool Enter() noexcept;
  void Leave() noexcept;
  // Closes the door; calls inside go on.
  void Close() noexcept { word_.fetch_or(kClosed, std::memory_order_acq_rel); }
  // Threads inside at this moment.
  uint32_t Inside() const noexcept { return word_.load(std::memory_order_acquire) & ~kClosed; }
  // Open, with `inside` calls inside (a forked child starts from the
  // forking thread's own: the other threads did not come along).
  void Reset(uint32_t inside = 0) noexcept;

 private:
  static constexpr uint32_t kClosed = 0x80000000u;
  std::atomic<uint32_t> word_{0};
};

TExportGate& ExportGate() noexcept;

// One pass through the gate, for the lifetime of the object.
class TGatePass {
 public:
  TGatePass() noexcept : inside_(ExportGate().Enter()) {}
  ~TGatePass() {
    if (inside_) ExportGate().Leave();
  }
  TGatePass(const TGatePass&) = delete;
  TGatePass& operator=(const TGatePass&) = delete;
  explicit operator bool() const noexcept { return inside_; }

 private:
  bool inside_;
};

}  // namespace tamlix::core
