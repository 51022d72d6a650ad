// Tells the process that set something up from a forked child of it. A
// child made by fork() carries copies of the parent's objects and runs the
// parent's exit code (static destructors) when it calls exit(); what the
// parent owns outside its memory (files, the ring's name, its threads) must
// be released by the parent alone.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>

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

}  // namespace tamlix::platform
