// The workstation's connection state and its unattended dial, as the core
// asks for them when a session starts.
//
// NetState is the seam: the system implementation reads the kernel's list
// of interfaces and runs the PPP dialer; tests pass a fake. Both calls may
// block (the dial runs as long as the dialer does) and never throw.
#pragma once

#include <cstdint>

namespace tamlix::platform {

// Connection-state flags, with the values the callers compare against.
constexpr uint32_t INTERNET_CONNECTION_MODEM = 0x01;
constexpr uint32_t INTERNET_CONNECTION_LAN = 0x02;
constexpr uint32_t INTERNET_RAS_INSTALLED = 0x10;

class NetState {
 public:
  virtual ~NetState() = default;

  // The flags above: MODEM while a ppp link is up, LAN while any other
  // non-loopback interface is up, RAS_INSTALLED when pppd is installed.
  virtual uint32_t ConnectedState() = 0;

  // Dials the default provider without asking anyone. 0 on success, else a
  // non-zero error code (also when no dialer is installed).
  virtual uint32_t DialUnattended() = 0;
};

// The real one: getifaddrs for the state, the system's `pon` for the dial.
// Lives for the whole process; safe to use from any thread.
NetState& SystemNetState();

}  // namespace tamlix::platform
