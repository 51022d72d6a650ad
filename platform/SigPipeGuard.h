// Keeps a write on a socket whose peer has gone from raising SIGPIPE in the
// host program: blocks SIGPIPE on this thread for the guard's lifetime and
// drops one that became pending meanwhile. The thread's mask is restored.
#pragma once

#include <signal.h>

namespace tamlix::platform {

class SigPipeGuard {
 public:
  SigPipeGuard() noexcept;
  ~SigPipeGuard();
  SigPipeGuard(const SigPipeGuard&) = delete;
  SigPipeGuard& operator=(const SigPipeGuard&) = delete;

 private:
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace tamlix::platform
