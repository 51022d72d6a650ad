#include "NetState.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tamlix::platform {
namespace {

constexpr const char* kPppd = "/usr/sbin/pppd";

class SystemState final : public NetState {
 public:
  uint32_t ConnectedState() override {
    uint32_t flags = 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
      for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        unsigned f = ifa->ifa_flags;
        if (!(f & IFF_UP) || (f & IFF_LOOPBACK)) continue;
        bool ppp = (f & IFF_POINTOPOINT) && ifa->ifa_name && std::strncmp(ifa->ifa_name, "ppp", 3) == 0;
        flags |= ppp ? INTERNET_CONNECTION_MODEM : INTERNET_CONNECTION_LAN;
      }
      ::freeifaddrs(list);
    }
    if (::access(kPppd, X_OK) == 0) flags |= INTERNET_RAS_INSTALLED;
    return flags;
  }

  uint32_t DialUnattended() override {
    // `pon` with no argument dials the default provider and returns once the
    // dialer has started; its exit status is the dial's result.
    char name[] = "pon";
    char* argv[] = {name, nullptr};
    pid_t pid = 0;
    int err = ::posix_spawnp(&pid, name, nullptr, nullptr, argv, environ);
    if (err != 0) return static_cast<uint32_t>(err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return static_cast<uint32_t>(errno ? errno : ECHILD);
    }
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return static_cast<uint32_t>(128 + WTERMSIG(status));
    return 1;
  }
};

}  // namespace

NetState& SystemNetState() {
  static SystemState state;
  return state;
}

}  // namespace tamlix::platform
