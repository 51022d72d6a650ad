#include "NetState.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tamlix::platform {
namespace {

class SystemState final : public NetState {
 public:
  explicit SystemState(NetSources sources) : sources_(std::move(sources)) {}

  uint32_t ConnectedState() override {
    std::vector<NetInterface> interfaces;
    try {
      interfaces = sources_.interfaces ? sources_.interfaces() : SystemInterfaces();
    } catch (...) {
    }
    struct stat st{};
    bool peer = ::stat(sources_.default_peer.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    return ConnectionStateOf(interfaces, peer);
  }

  uint32_t DialUnattended() override {
    // The dialer returns once it has started the PPP daemon for the default
    // provider, or failed to; its exit status is the dial's result.
    std::string name = sources_.dialer;
    char* argv[] = {name.data(), nullptr};
    pid_t pid = 0;
    int err = ::posix_spawnp(&pid, name.c_str(), nullptr, nullptr, argv, environ);
    if (err != 0) return static_cast<uint32_t>(err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return static_cast<uint32_t>(errno ? errno : ECHILD);
    }
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return static_cast<uint32_t>(128 + WTERMSIG(status));
    return 1;
  }

 private:
  const NetSources sources_;
};

}  // namespace

uint32_t ConnectionStateOf(const std::vector<NetInterface>& interfaces, bool default_peer) noexcept {
  bool ppp = default_peer, other = false;
  for (const NetInterface& i : interfaces) {
    if ((i.flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING) || (i.flags & IFF_LOOPBACK)) continue;
    if (i.name.compare(0, 3, "ppp") == 0) {
      ppp = true;
    } else {
      other = true;
    }
  }
  if (other) return INTERNET_CONNECTION_LAN;
  return ppp ? INTERNET_CONNECTION_MODEM : 0;
}

std::vector<NetInterface> SystemInterfaces() {
  std::vector<NetInterface> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  // One entry per interface and address family: each name once.
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name) continue;
    bool seen = false;
    for (const NetInterface& i : out) seen = seen || i.name == ifa->ifa_name;
    if (!seen) out.push_back({ifa->ifa_name, ifa->ifa_flags});
  }
  ::freeifaddrs(list);
  return out;
}

std::unique_ptr<NetState> MakeSystemNetState(NetSources sources) {
  return std::make_unique<SystemState>(std::move(sources));
}

NetState& SystemNetState() {
  static SystemState state{NetSources{}};
  return state;
}

}  // namespace tamlix::platform
