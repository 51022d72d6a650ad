// PeriodicAlarm: a host program's habit for tests: a SIGALRM every
// `period` while the object lives, caught by a handler that does nothing
// and installed without SA_RESTART, so that each one interrupts whatever
// blocking call the thread that takes it is in. Restores the timer and the
// handler when it goes. One at a time per process.
#pragma once

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>

namespace tamlix::testing {

class PeriodicAlarm {
 public:
  explicit PeriodicAlarm(std::chrono::milliseconds period) {
    struct sigaction action {};
    action.sa_handler = &PeriodicAlarm::OnAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGALRM, &action, &oldAction_);
    itimerval timer{};
    timer.it_interval.tv_sec = static_cast<time_t>(period.count() / 1000);
    timer.it_interval.tv_usec = static_cast<suseconds_t>(period.count() % 1000 * 1000);
    timer.it_value = timer.it_interval;
    ::setitimer(ITIMER_REAL, &timer, &oldTimer_);
  }
  ~PeriodicAlarm() {
    ::setitimer(ITIMER_REAL, &oldTimer_, nullptr);
    ::sigaction(SIGALRM, &oldAction_, nullptr);
  }
  PeriodicAlarm(const PeriodicAlarm&) = delete;
  PeriodicAlarm& operator=(const PeriodicAlarm&) = delete;

  // How many alarms were caught since the process started.
  static int Count() { return count_.load(); }

 private:
  static void OnAlarm(int) { count_.fetch_add(1); }

  static inline std::atomic<int> count_{0};
  struct sigaction oldAction_ {};
  itimerval oldTimer_{};
};

}  // namespace tamlix::testing
