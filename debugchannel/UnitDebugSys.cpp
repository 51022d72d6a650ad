#include "UnitDebugSys.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>

#include "platform/DateTime.h"
#include "platform/ProcessOwner.h"
#include "platform/Sys.h"

namespace tamlix {
namespace {

// Per-module state: the descriptor that keeps the ring alive (it holds a
// shared flock while open) and the mapped view. g_mutex serialises open and
// close; g_write_mutex keeps the view mapped while a writer copies into it.
std::mutex g_mutex;
int g_fd = -1;                                 // guarded by g_mutex
std::atomic<TDebugRecord*> g_view{nullptr};    // set under both mutexes
platform::ProcessOwner g_opener;               // the process that opened the ring
// A plain array: the ring is closed from other modules' exit code, after the
// destructors of this file's objects may have run.
char g_name[256] = TAMLIX_DEBUG_RING_NAME;
std::mutex g_write_mutex;

// A forked child gets both mutexes afresh: a thread of the parent may have
// held one at the fork, and it did not come along. (A record it was writing
// stays torn; readers tolerate that.)
void FreshMutexesInChild() {
  platform::ForkChildHandler handler;
  new (&g_mutex) std::mutex;
  new (&g_write_mutex) std::mutex;
}
pthread_once_t g_fork_handler = PTHREAD_ONCE_INIT;
void SetForkHandler() { pthread_atfork(nullptr, nullptr, FreshMutexesInChild); }

// How many times an opening goes round again when the name changes under
// it. Each round means that another process closed the ring as its last
// user in between, so a busy machine needs a few; a name that can never be
// opened (a dangling link in its place) ends the rounds with its error.
constexpr int kOpenRounds = 1000;

// How long an opening waits, in all, for a ring's creator to size it and
// for another process's exclusive lock to go; past it, no records.
constexpr std::chrono::milliseconds kWaitBound{1000};

// The object must not block its opener (a FIFO in its place) nor become
// its controlling terminal; shm_open adds O_NOFOLLOW and O_CLOEXEC.
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Whether the name still belongs to the ring behind fd.
bool SameObject(int fd, const char* name) {
  int other = ::shm_open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (other < 0) return false;
  struct stat a{}, b{};
  bool same = ::fstat(fd, &a) == 0 && ::fstat(other, &b) == 0 && a.st_dev == b.st_dev &&
              a.st_ino == b.st_ino;
  ::close(other);
  return same;
}

// Lets go of a descriptor of the ring. The exclusive lock is granted only
// when no other descriptor holds the shared one: then this was the ring's
// last user, and the name goes with it, unless it already names a newer ring.
void Release(int fd) noexcept {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && SameObject(fd, g_name)) ::shm_unlink(g_name);
  ::close(fd);
}

EDebugShared CreateError(int err) {
  return EDebugShared("Unable to create file mapping, Error: " + std::to_string(err));
}

// A short pause between two looks at another process's progress: a creator
// sizes its ring and a closer lets go of its lock in microseconds.
void Pause() noexcept {
  timespec ts{0, 1000000};
  nanosleep(&ts, nullptr);
}

// Takes the shared lock on fd, waiting until `deadline` at most for an
// exclusive holder to let go. 0, or the error to fail the opening with.
int LockShared(int fd, std::chrono::steady_clock::time_point deadline) noexcept {
  while (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    Pause();
  }
  return 0;
}

// An object found at the name is used only when its records stay ours and
// its pages cannot vanish under a writer: a regular object, this user's,
// with no access for group or others. 0, or the error to refuse it with.
int Unfit(const struct stat& st) noexcept {
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) return EACCES;
  return 0;
}

// What one round of the opening came to.
struct Round {
  int fd = -1;          // the locked ring, when it opened
  bool again = false;   // the name changed under the round: go round again
};

// A new ring: this process made the name. The shared lock comes first, so
// that no other opener takes the ring for a dead one while it is sized;
// then its space is reserved (a full /dev/shm fails here, not at a record).
Round CreatedRing(int fd, std::chrono::steady_clock::time_point deadline) {
  if (int err = LockShared(fd, deadline)) {
    Release(fd);
    throw CreateError(err);
  }
  if (int err = sys::posix_fallocate(fd, 0, TAMLIX_DEBUG_RING_SIZE)) {
    Release(fd);
    throw CreateError(err);
  }
  // Another opener may have taken it for a dead ring before the lock was
  // ours, and removed its name.
  if (SameObject(fd, g_name)) return {fd, false};
  ::close(fd);
  return {-1, true};
}

// An existing object: waited for while its creator sizes it; refused when
// unfit; made anew when dead (no process holds it: its last user was
// killed); else shared.
Round ExistingRing(int fd, std::chrono::steady_clock::time_point deadline) {
  struct stat st{};
  for (;;) {
    if (::fstat(fd, &st) != 0) {
      int err = errno;
      ::close(fd);
      throw CreateError(err);
    }
    if (int err = Unfit(st)) {
      ::close(fd);
      throw CreateError(err);
    }
    if (st.st_size == static_cast<off_t>(TAMLIX_DEBUG_RING_SIZE)) break;
    // Its creator may be sizing it, or may have failed to and removed it.
    if (!SameObject(fd, g_name)) {
      ::close(fd);
      return {-1, true};
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      throw CreateError(EINVAL);
    }
    Pause();
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // No live holder. Its name goes as its last user's close would have
    // taken it, and the next round starts a ring from zeros.
    if (SameObject(fd, g_name)) ::shm_unlink(g_name);
    ::close(fd);
    return {-1, true};
  }
  if (int err = LockShared(fd, deadline)) {
    ::close(fd);
    throw CreateError(err);
  }
  // A closer removes the name only while it holds the exclusive lock, so
  // from here on the ring stays; but it may have gone just before the lock
  // was taken. Then start again.
  if (SameObject(fd, g_name)) return {fd, false};
  ::close(fd);
  return {-1, true};
}

// Creates the ring or opens the existing one and takes the shared lock on
// it; returns the descriptor. Called under g_mutex.
int OpenLockedDescriptor() {
  const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
  for (int round = 1;; ++round) {
    Round r;
    int fd = sys::shm_open(g_name, kOpenFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      r = CreatedRing(fd, deadline);
    } else if (errno != EEXIST) {
      throw CreateError(errno);
    } else if ((fd = sys::shm_open(g_name, kOpenFlags, 0600)) >= 0) {
      r = ExistingRing(fd, deadline);
    } else if (errno == ENOENT) {
      r.again = true;  // gone between the two calls: its last user removed it
    } else {
      throw CreateError(errno);
    }
    if (!r.again) return r.fd;
    if (round >= kOpenRounds) throw CreateError(ENOENT);
  }
}

void CopyShort(TShortString& field, std::string_view text) noexcept {
  size_t n = text.size() < 255 ? text.size() : 255;
  field.Length = static_cast<uint8_t>(n);
  if (n) std::memcpy(field.Chars, text.data(), n);
}

// The local time of a write. localtime_r is the dearest step of a write, so
// the day count of the current second is kept and only milliseconds added.
// Called under g_write_mutex.
double CurrentTime() noexcept {
  static time_t cached_second = -1;
  static double cached_value = 0;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec != cached_second) {
    std::tm tm{};
    if (!platform::LocalTimeOf(ts.tv_sec, tm)) return 0;
    cached_value = platform::EncodeDateTime(platform::LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                                                tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
    cached_second = ts.tv_sec;
  }
  return cached_value + static_cast<double>(ts.tv_nsec / 1000000) / 86400000.0;
}

}  // namespace

void SetDebugSharedNameForTesting(const char* name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::snprintf(g_name, sizeof g_name, "%s", name ? name : TAMLIX_DEBUG_RING_NAME);
}

void OpenDebugShared() {
  pthread_once(&g_fork_handler, SetForkHandler);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_view) return;
  int fd = OpenLockedDescriptor();
  void* view = sys::mmap(nullptr, TAMLIX_DEBUG_RING_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    int err = errno;
    Release(fd);
    throw EDebugShared("Unable to map view of file, Error: " + std::to_string(err));
  }
  // A new object is already zeros from posix_fallocate; filling it again
  // could wipe a record that a racing opener just wrote, so it is left alone.
  g_fd = fd;
  g_opener.Claim();
  std::lock_guard<std::mutex> turn(g_write_mutex);
  g_view.store(static_cast<TDebugRecord*>(view));
}

void CloseDebugShared() noexcept {
  // A forked child of the opener (a host that forks, whose child calls
  // exit()) leaves all of it to the opener: its descriptor shares the
  // opener's lock, so the child would take that lock for its own and remove
  // the name under the opener; and the mutexes may be held by a thread that
  // did not come along. The child's copies end with the child.
  if (!g_opener.IsCurrent()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_view) return;
  {
    // A writer still inside its copy must finish before the view goes away.
    std::lock_guard<std::mutex> turn(g_write_mutex);
    TDebugRecord* view = g_view.exchange(nullptr);
    ::munmap(view, TAMLIX_DEBUG_RING_SIZE);
  }
  Release(g_fd);
  g_fd = -1;
}

bool DebugSharedIsOpen() noexcept { return g_view.load() != nullptr; }

TDebugRecord* DebugSharedView() noexcept { return g_view.load(); }

void WriteDebugRecord(DebugText Module, DebugText Message, DebugText Procedure, DebugText Session,
                      DebugText Detail, DebugText Data) noexcept {
  if (!g_view.load(std::memory_order_relaxed)) return;
  // Threads of one module take turns so that their records never mix; other
  // modules and processes still write without a lock.
  std::lock_guard<std::mutex> turn(g_write_mutex);
  TDebugRecord* ring = g_view.load();
  if (!ring) return;

  // Other writers change the ring under us: each Sequence is read once.
  int32_t highest = 0;
  int index = 0;
  for (int slot = 1; slot <= TAMLIX_DEBUG_SLOTS; ++slot) {
    int32_t seq;  // packed field, and other processes write it: copied, never referenced
    std::memcpy(&seq, &ring[slot - 1].Sequence, sizeof seq);
    if (seq > highest) {
      highest = seq;
      index = slot;
    }
  }
  int target = index + 1;
  if (target == TAMLIX_DEBUG_SLOTS + 1) target = 1;
  TDebugRecord& rec = ring[target - 1];

  // Past the largest number the count cannot grow: the slot rule takes only
  // positive numbers, so it stays at the top rather than turning negative.
  int32_t next = highest == INT32_MAX ? INT32_MAX : highest + 1;
  std::memcpy(&rec.Sequence, &next, sizeof next);
  CopyShort(rec.Procedure, Procedure.view());
  CopyShort(rec.Message, Message.view());
  CopyShort(rec.Session, Session.view());

  std::string_view data = Data.view();
  if (const void* nul = data.empty() ? nullptr : std::memchr(data.data(), 0, data.size())) {
    data = data.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - data.data()));
  }
  size_t n = data.size() < sizeof rec.Data - 1 ? data.size() : sizeof rec.Data - 1;
  // The whole field ends up zero-filled: the text, then zeros to its end.
  if (n) std::memcpy(rec.Data, data.data(), n);
  std::memset(rec.Data + n, 0, sizeof rec.Data - n);

  CopyShort(rec.Detail, Detail.view());
  CopyShort(rec.Module, Module.view());

  double now = CurrentTime();
  std::memcpy(&rec.Time, &now, sizeof now);
}

}  // namespace tamlix
