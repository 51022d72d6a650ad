// The core's locks: a mutex and a condition variable over pthread, and the
// attributes that let clang's -Wthread-safety check who holds what. The
// attributes are empty for other compilers.
//
// Neither type ever destroys its pthread object: a lock that another thread
// may still be waiting on (a host thread at process exit) stays usable for as
// long as the memory lives, and glibc's pthread_cond_destroy would wait for
// such waiters. Both are made afresh by constructing them again (a forked
// child does).
#pragma once

#include <pthread.h>

#if defined(__clang__)
#define TAMLIX_TSA(x) __attribute__((x))
#else
#define TAMLIX_TSA(x)
#endif

#define CAPABILITY(x) TAMLIX_TSA(capability(x))
#define SCOPED_CAPABILITY TAMLIX_TSA(scoped_lockable)
#define GUARDED_BY(x) TAMLIX_TSA(guarded_by(x))
#define REQUIRES(...) TAMLIX_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TAMLIX_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TAMLIX_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAMLIX_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TAMLIX_TSA(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TAMLIX_TSA(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS TAMLIX_TSA(no_thread_safety_analysis)

namespace tamlix::core {

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() noexcept { pthread_mutex_init(&mutex_, nullptr); }
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

 private:
  friend class TCondVar;
  pthread_mutex_t mutex_;
};

// Holds a TMutex for its lifetime.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~TMutexLock() RELEASE() { mutex_.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& mutex_;
};

class TCondVar {
 public:
  TCondVar() noexcept { pthread_cond_init(&cond_, nullptr); }
  TCondVar(const TCondVar&) = delete;
  TCondVar& operator=(const TCondVar&) = delete;

  // Releases `mutex` while it waits; callers loop on their condition.
  void Wait(TMutex& mutex) REQUIRES(mutex) { pthread_cond_wait(&cond_, &mutex.mutex_); }
  void NotifyAll() noexcept { pthread_cond_broadcast(&cond_); }

 private:
  pthread_cond_t cond_;
};

}  // namespace tamlix::core
