// Reaching the claims switch's host: the first IPv4 address of a name and
// the address record of host and port (the connect is in TimedConnect.h).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace tamlix::platform {

// The first IPv4 address of `name`, in network byte order; 0 when it has none.
uint32_t FirstIPv4Address(const std::string& name);

// Family AF_INET, `address` (network byte order), the low 16 bits of `port`.
sockaddr_in ServerAddress(uint32_t address, int32_t port);

}  // namespace tamlix::platform
