// Test helpers for a private view of the mounts: a forked child that enters
// a mount namespace of its own, where it may mount a small tmpfs or bind one
// file over another without touching what other processes see.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace tamlix::testing {

// Runs body() in a forked child with mounts of its own and returns its exit
// code: -1 when it did not exit normally, 124 when the namespace could not
// be made. The child ends with _exit: it runs none of the parent's exit code.
inline int RunWithPrivateMounts(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      ::_exit(124);
    }
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In such a child: a fresh tmpfs of `bytes` at `dir`.
inline bool MountSmallTmpfs(const char* dir, unsigned long bytes) {
  std::string options = "size=" + std::to_string(bytes) + ",mode=1777";
  return ::mount("tmpfs", dir, "tmpfs", 0, options.c_str()) == 0;
}

// In such a child: `source` seen at `target` (a link at `target` is
// followed: its file is covered).
inline bool BindOver(const char* source, const char* target) {
  return ::mount(source, target, nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace tamlix::testing
