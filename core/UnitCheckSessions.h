// Session lock files: "<session ID>.lck" in the directory of the process's
// main executable (the host program, not this library). Present means the
// session runs somewhere; the file holds one line with its creation time.
#pragma once

#include <stdexcept>
#include <string>

namespace tamlix::core {

// The lock file could not be created, written or closed.
class ESessionLockError : public std::runtime_error {
 public:
  ESessionLockError(const std::string& path, int err);
  int Error() const { return err_; }

 private:
  int err_;
};

// The lock file's path; throws ESessionLockError when the session ID is no
// file name (it holds a "/") or the executable's directory is unknown.
std::string SessionLockPath(const std::string& session);

// True when the lock file is present (nothing changed): a file of that path,
// not a directory. Otherwise creates it and returns False. The creation is
// exclusive: a file that another process made in the meantime counts as
// present. Throws ESessionLockError when the file cannot be made (a
// directory in its place among the causes); a file that this call made is
// then removed again.
bool CheckSessionInUse(const std::string& session);

// Deletes the lock file when present; failures are silent.
void ClearSessionLock(const std::string& session) noexcept;

}  // namespace tamlix::core
