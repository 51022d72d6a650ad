// The system calls that the project's code reaches through one seam, so that a
// test can make the Nth call of one kind fail with a chosen errno (disk full,
// refused socket, failed map) without touching the real system.
//
// Each wrapper behaves exactly like the POSIX call of the same name, except
// when a fault is armed for its kind: then it sets errno and returns the
// call's failure value without calling the system. Thread-safe.
#pragma once

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace tamlix::sys {

enum class Call {
  Open,
  Write,
  Close,
  Fsync,
  Rename,
  Unlink,
  ShmOpen,
  Ftruncate,
  Mmap,
  Socket,
  Connect,
  Access,
  Fallocate,
  Linkat,
  Flistxattr,
  Fstatfs,
  Count
};

// Arms a fault: the nth call of `call` from now on (1 = the next one) fails
// with `err`. With `sticky`, that call and every later one fail.
void FailNth(Call call, int nth, int err, bool sticky = false);
// Disarms every fault and resets the counters.
void ClearFaults();

int open(const char* path, int flags, mode_t mode = 0);
ssize_t write(int fd, const void* buf, size_t count);
int close(int fd);
int fsync(int fd);
int rename(const char* from, const char* to);
int unlink(const char* path);
int shm_open(const char* name, int flags, mode_t mode);
int ftruncate(int fd, off_t length);
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int socket(int domain, int type, int protocol);
int connect(int fd, const struct sockaddr* addr, socklen_t len);
// faccessat(AT_FDCWD, path, mode, AT_EACCESS): the check against the
// effective ids, which a privileged process passes where others are refused.
int access(const char* path, int mode);
// Like POSIX, returns 0 or the error number (errno is left alone).
int posix_fallocate(int fd, off_t offset, off_t length);
int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
ssize_t flistxattr(int fd, char* list, size_t size);
int fstatfs(int fd, struct statfs* buf);

// Writes all of `data` through write() above, going on after EINTR and short
// writes. 0, or the error number (EIO for a write that wrote nothing).
int write_all(int fd, std::string_view data);

}  // namespace tamlix::sys
