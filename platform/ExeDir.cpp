#include "ExeDir.h"

#include <unistd.h>

#include <climits>

namespace tamlix::platform {

std::string ExecutableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return {};
  std::string path(buf, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

}  // namespace tamlix::platform
