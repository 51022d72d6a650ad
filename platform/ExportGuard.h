// The boundary of every exported function: its body runs inside Guard, which
// turns any exception into the export's failure result, so nothing but the
// result ever reaches the host program.
//
// The body runs with the thread's cancellation disabled: a host's
// pthread_cancel never takes effect inside a library (glibc cancels by
// unwinding, which a library's locks and catch clauses must not meet). The
// caller's state comes back as the export returns, and a pending request
// then acts at the host's next cancellation point (or, for a thread that
// asked for asynchronous cancellation, at once, with nothing of the
// library's left on the stack).
#pragma once

#include <pthread.h>

#include <cstdint>

namespace tamlix::platform {

template <class Result, class Body>
Result Catching(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

template <class Result, class Body>
Result Guard(Result failure, Body&& body) {
  int caller = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &caller);
  const Result result = Catching(failure, body);
  pthread_setcancelstate(caller, nullptr);
  return result;
}

// A Boolean export result: one byte, 1 for True and 0 for False.
inline uint8_t AsBool(bool value) { return value ? 1 : 0; }

}  // namespace tamlix::platform
