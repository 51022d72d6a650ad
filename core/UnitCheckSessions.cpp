#include "UnitCheckSessions.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/DateTime.h"
#include "platform/ExeDir.h"
#include "platform/Sys.h"

namespace tamlix::core {

ESessionLockError::ESessionLockError(const std::string& path, int err)
    : std::runtime_error("Session lock file " + path + ": " + std::strerror(err)), err_(err) {}

std::string SessionLockPath(const std::string& session) {
  // A "/" would make the ID a path into another directory.
  if (session.find('/') != std::string::npos) throw ESessionLockError(session + ".lck", EINVAL);
  std::string dir = platform::ExecutableDirectory();
  if (dir.empty()) throw ESessionLockError(session + ".lck", ENOENT);
  return dir + session + ".lck";
}

namespace {

// What the lock file's path holds: a file (anything but a directory; a link
// counts as what it points at), a directory, or nothing.
enum class PathHolds { Nothing, File, Directory };

PathHolds Look(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return PathHolds::Nothing;
  return S_ISDIR(st.st_mode) ? PathHolds::Directory : PathHolds::File;
}

}  // namespace

bool CheckSessionInUse(const std::string& session) {
  std::string path = SessionLockPath(session);
  if (Look(path) == PathHolds::File) return true;

  int fd = sys::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) {
      // A file: another process won the race. Anything else in the way (a
      // directory, a link to nowhere) is no lock, and no place for one.
      PathHolds held = Look(path);
      if (held == PathHolds::File) return true;
      if (held == PathHolds::Directory) err = EISDIR;
    }
    throw ESessionLockError(path, err);
  }
  platform::LocalTime now = platform::NowLocal();
  std::string line = platform::ShortDateText(now) + " " + platform::LongTimeText(now) + "\r\n";
  int err = sys::write_all(fd, line);
  if (sys::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    sys::unlink(path.c_str());  // ours, and no use to anyone half written
    throw ESessionLockError(path, err);
  }
  return false;
}

void ClearSessionLock(const std::string& session) noexcept {
  try {
    std::string path = SessionLockPath(session);
    sys::unlink(path.c_str());
  } catch (...) {
  }
}

}  // namespace tamlix::core
