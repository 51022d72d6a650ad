// The workstation's connection state and its unattended dial, as the core
// asks for them when a session starts.
//
// NetState is the seam. The system's one reads the kernel's list of
// interfaces and the dialer's default peer, maps them to the flags below
// (ConnectionStateOf), and dials by running the PPP dialer; where it looks
// and what it runs can be pointed elsewhere (NetSources). Both calls may
// block (the dial runs as long as the dialer does) and never throw.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tamlix::platform {

// Connection-state flags, with the values the callers compare against.
// RAS_INSTALLED is never reported here; the value stays for comparisons.
constexpr uint32_t INTERNET_CONNECTION_MODEM = 0x01;
constexpr uint32_t INTERNET_CONNECTION_LAN = 0x02;
constexpr uint32_t INTERNET_RAS_INSTALLED = 0x10;

class NetState {
 public:
  virtual ~NetState() = default;

  // The flags above (see ConnectionStateOf).
  virtual uint32_t ConnectedState() = 0;

  // Dials the default provider without asking anyone. 0 on success, else a
  // non-zero error code (also when no dialer is installed).
  virtual uint32_t DialUnattended() = 0;
};

// One network interface: its name and its IFF_* flags.
struct NetInterface {
  std::string name;
  unsigned flags = 0;
};

// The connection state of a workstation with these interfaces. An interface
// counts while it is up and running (a cable unplugged, a bridge without
// members: not running). MODEM when the default connection is a PPP link (a
// "ppp*" interface, or the dialer's default peer configured) and no other
// non-loopback interface counts; LAN when another one does; else 0.
uint32_t ConnectionStateOf(const std::vector<NetInterface>& interfaces, bool default_peer) noexcept;

// Where the system's NetState looks and what it runs.
struct NetSources {
  // The interface list; empty: the kernel's (SystemInterfaces).
  std::function<std::vector<NetInterface>()> interfaces;
  // The dialer's default peer; present when a file of this path exists.
  std::string default_peer = "/etc/ppp/peers/provider";
  // The dialer, found through PATH unless it holds a "/", run without
  // arguments; its exit status is the dial's result.
  std::string dialer = "pon";
};

// The kernel's interfaces (getifaddrs), each once; empty when unreadable.
std::vector<NetInterface> SystemInterfaces();

std::unique_ptr<NetState> MakeSystemNetState(NetSources sources);

// The system's, with the default sources. Lives for the whole process;
// safe to use from any thread.
NetState& SystemNetState();

}  // namespace tamlix::platform
