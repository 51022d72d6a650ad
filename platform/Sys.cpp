#include "Sys.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace tamlix::sys {
namespace {

struct Fault {
  int remaining = 0;  // calls until the armed one; 0 = disarmed
  int err = 0;
  bool sticky = false;
  bool firing = false;
};

std::mutex g_mutex;
std::array<Fault, static_cast<size_t>(Call::Count)> g_faults;  // guarded by g_mutex
std::atomic<bool> g_any{false};

// True when this call must fail; sets errno then.
bool Injected(Call call) {
  if (!g_any.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  Fault& f = g_faults[static_cast<size_t>(call)];
  if (f.firing) {
    errno = f.err;
    return true;
  }
  if (f.remaining == 0) return false;
  if (--f.remaining > 0) return false;
  f.firing = f.sticky;
  errno = f.err;
  return true;
}

}  // namespace

void FailNth(Call call, int nth, int err, bool sticky) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Fault& f = g_faults[static_cast<size_t>(call)];
  f.remaining = nth < 1 ? 1 : nth;
  f.err = err;
  f.sticky = sticky;
  f.firing = false;
  g_any.store(true, std::memory_order_release);
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_faults = {};
  g_any.store(false, std::memory_order_release);
}

int open(const char* path, int flags, mode_t mode) {
  if (Injected(Call::Open)) return -1;
  return ::open(path, flags, mode);
}
ssize_t write(int fd, const void* buf, size_t count) {
  if (Injected(Call::Write)) return -1;
  return ::write(fd, buf, count);
}
int close(int fd) {
  if (Injected(Call::Close)) {
    int saved = errno;
    ::close(fd);  // never leak the descriptor, even when failing on purpose
    errno = saved;
    return -1;
  }
  return ::close(fd);
}
int fsync(int fd) {
  if (Injected(Call::Fsync)) return -1;
  return ::fsync(fd);
}
int rename(const char* from, const char* to) {
  if (Injected(Call::Rename)) return -1;
  return ::rename(from, to);
}
int unlink(const char* path) {
  if (Injected(Call::Unlink)) return -1;
  return ::unlink(path);
}
int shm_open(const char* name, int flags, mode_t mode) {
  if (Injected(Call::ShmOpen)) return -1;
  return ::shm_open(name, flags, mode);
}
int ftruncate(int fd, off_t length) {
  if (Injected(Call::Ftruncate)) return -1;
  return ::ftruncate(fd, length);
}
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if (Injected(Call::Mmap)) return MAP_FAILED;
  return ::mmap(addr, length, prot, flags, fd, offset);
}
int socket(int domain, int type, int protocol) {
  if (Injected(Call::Socket)) return -1;
  return ::socket(domain, type, protocol);
}
int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  if (Injected(Call::Connect)) return -1;
  return ::connect(fd, addr, len);
}
int access(const char* path, int mode) {
  if (Injected(Call::Access)) return -1;
  return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS);
}
int posix_fallocate(int fd, off_t offset, off_t length) {
  int saved = errno;
  if (Injected(Call::Fallocate)) {
    int err = errno;
    errno = saved;
    return err;
  }
  return ::posix_fallocate(fd, offset, length);
}
int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  if (Injected(Call::Linkat)) return -1;
  return ::linkat(olddirfd, oldpath, newdirfd, newpath, flags);
}
ssize_t flistxattr(int fd, char* list, size_t size) {
  if (Injected(Call::Flistxattr)) return -1;
  return ::flistxattr(fd, list, size);
}
int fstatfs(int fd, struct statfs* buf) {
  if (Injected(Call::Fstatfs)) return -1;
  return ::fstatfs(fd, buf);
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace tamlix::sys
