#include "SigPipeGuard.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace tamlix::platform {

SigPipeGuard::SigPipeGuard() noexcept {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigPipeGuard::~SigPipeGuard() {
  if (!was_pending_) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      timespec zero{};
      while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace tamlix::platform
