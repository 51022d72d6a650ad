// Fork and the process that set something up. A child made by fork()
// carries copies of the parent's objects and runs the parent's exit code
// (static destructors) when it calls exit(); what the parent owns outside
// its memory (files, the ring's name, its threads) must be released by the
// parent alone.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
#endif

namespace tamlix::platform {

class ProcessOwner {
 public:
  // The calling process becomes the owner.
  void Claim() noexcept { pid_.store(::getpid(), std::memory_order_relaxed); }
  // True in the owner; false in a forked child of it and before any Claim.
  bool IsCurrent() const noexcept {
    pid_t owner = pid_.load(std::memory_order_relaxed);
    return owner != 0 && owner == ::getpid();
  }

 private:
  std::atomic<pid_t> pid_{0};
};

// Held for the body of a pthread_atfork child handler, which makes afresh
// what the parent's other threads used. The thread sanitizer learns only
// after such handlers that those threads did not come along, and would take
// these touches for races with them.
class ForkChildHandler {
 public:
  ForkChildHandler() noexcept {
#if defined(__SANITIZE_THREAD__)
    __tsan_ignore_thread_begin();
#endif
  }
  ~ForkChildHandler() {
#if defined(__SANITIZE_THREAD__)
    __tsan_ignore_thread_end();
#endif
  }
  ForkChildHandler(const ForkChildHandler&) = delete;
  ForkChildHandler& operator=(const ForkChildHandler&) = delete;
};

}  // namespace tamlix::platform
